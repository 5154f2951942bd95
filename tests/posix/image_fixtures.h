#pragma once
// Test images made while the tests run, never checked in: a picture with a known pattern that no
// rotation or mirroring maps onto itself, written as HEIC through libheif's own encoder or as JPEG
// through libjpeg, and JPEG files read back so that tests can check what a conversion wrote.
//
// Typical use:
//   TempFolder folder;
//   const TestPicture picture = MakeQuadrantPicture(64, 48);
//   WriteHeicFile(folder / L"in.heic", picture, {.orientation = 6});
//   ... convert ...
//   const JpegFileInfo out = ReadJpegFile(folder / L"in.jpg");
//   EXPECT_TRUE(SamePattern(out.picture, Oriented(picture, 6)));
// Every writer and reader throws std::runtime_error when it cannot do its job, so a missing codec
// fails the test instead of letting it pass unseen.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

// 8-bit RGB pixels, row by row, without padding.
struct TestPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    Rgb At(int x, int y) const;
    void Set(int x, int y, Rgb color);
};

// The four quadrant colours of MakeQuadrantPicture, well inside the gamut so that lossy coding
// keeps them recognisable.
inline constexpr Rgb kTopLeftColor{210, 40, 40};       // red
inline constexpr Rgb kTopRightColor{40, 190, 60};      // green
inline constexpr Rgb kBottomLeftColor{40, 60, 200};    // blue
inline constexpr Rgb kBottomRightColor{225, 225, 90};  // yellow

// Four flat quadrants in the colours above; width and height should be even.
TestPicture MakeQuadrantPicture(int width, int height);

// The picture as a viewer shows it when it carries the EXIF orientation 1..8 (6 = turn 90 degrees
// clockwise to view, 3 = turn 180, 2 = mirror left-right, ...).
TestPicture Oriented(const TestPicture& picture, int exifOrientation);

// Whether two pictures have the same size and agree, within `tolerance` per channel, on a 4 x 4
// grid of sample points, each an eighth of the size away from the quadrant borders.
testing::AssertionResult SamePattern(const TestPicture& actual, const TestPicture& expected,
                                     int tolerance = 24);

bool ColorsNear(Rgb a, Rgb b, int tolerance);

struct HeicOptions {
    int bitDepth = 8;     // 8 or 10 bits per sample
    bool alpha = false;   // add an alpha plane: left half fully transparent, colours kept under it
    int orientation = 1;  // EXIF orientation 1..8, stored as the file's irot/imir transform
    int quality = 90;     // HEVC quality 0..100
    bool quick = false;   // x265's fastest preset: seconds less for a photo-sized picture
    // A metadata item of no bytes beside the primary image; libheif reads it as a read of nothing,
    // with no buffer to read into.
    bool emptyMetadataItem = false;
    // Further top-level images written before the primary one, so that the primary is not the
    // file's first image.
    std::vector<TestPicture> otherImages{};
};

// Writes `picture` as the primary image of a new HEIC file (HEVC coded by libheif's encoder).
void WriteHeicFile(const std::wstring& path, const TestPicture& picture,
                   const HeicOptions& options = {});

// JFIF density: unit 0 = aspect ratio only, 1 = dots per inch, 2 = dots per centimetre.
struct JpegDensity {
    int unit = 1;
    int x = 72;
    int y = 72;
};

// Writes `picture` as a baseline JPEG with a JFIF header carrying `density`.
void WriteJpegFile(const std::wstring& path, const TestPicture& picture, int quality = 95,
                   JpegDensity density = {});

struct JpegFileInfo {
    TestPicture picture;  // decoded to RGB
    bool hasJfif = false;
    JpegDensity density;
    bool progressive = false;
    int components = 0;
    // Sampling factors of the first (luma) component; 2 x 2 means 4:2:0 chroma.
    int lumaSamplingH = 0;
    int lumaSamplingV = 0;
    // The first quantisation table (luma), as stored; two files made at the same libjpeg quality
    // have the same one.
    std::vector<int> lumaQuantTable;
};

JpegFileInfo ReadJpegFile(const std::wstring& path);

// Writes the first `keep` bytes of `source` to `target`.
void WriteTruncatedCopy(const std::wstring& source, const std::wstring& target, std::size_t keep);

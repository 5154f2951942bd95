// Real HEIC and JPEG files, made while the test runs, converted through our imaging stand-in.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "convert/failure_messages.h"
#include "convert/file_system.h"
#include "convert/path_rules.h"
#include "platform/com_owner.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

// Our host reads "\" as a separator; the test's own file handling does not.
std::wstring HostPath(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

class RealConversion : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        ASSERT_GE(
            CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IWICImagingFactory, reinterpret_cast<void**>(factory_.put())),
            0);
        liveBefore_ = standin::LiveObjectCount();
    }
    void TearDown() override {
        factory_.reset();
        CoUninitialize();
    }

    // Converts and checks that every object of the conversion is gone again.
    ConversionResult Convert(const std::wstring& input, const ConversionOptions& options = {}) {
        ConversionResult result = ConvertFile(factory_.get(), input, options);
        EXPECT_EQ(standin::LiveObjectCount(), liveBefore_);
        return result;
    }

    TempFolder folder_;

  private:
    ComOwner<IWICImagingFactory> factory_;
    long liveBefore_ = 0;
};

TEST_F(RealConversion, TheJpegShowsThePrimaryImageAsAViewerWould) {
    const TestPicture picture = MakeQuadrantPicture(64, 48);
    struct Case {
        const wchar_t* name;
        int orientation;
        int bitDepth;
        bool alpha;
        bool otherImageFirst;
        bool emptyMetadataItem = false;
    };
    const Case cases[] = {
        {L"plain.heic", 1, 8, false, false},         {L"turned a quarter.HEIC", 6, 8, false, false},
        {L"upside down.heif", 3, 8, false, false},   {L"mirrored.heic", 2, 8, false, false},
        {L"ten bits.heic", 1, 10, false, false},     {L"alpha dropped.heic", 1, 8, true, false},
        {L"several images.heic", 1, 8, false, true},
        {L"empty metadata item.heic", 1, 8, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        HeicOptions heic;
        heic.orientation = c.orientation;
        heic.bitDepth = c.bitDepth;
        heic.alpha = c.alpha;
        heic.emptyMetadataItem = c.emptyMetadataItem;
        if (c.otherImageFirst) heic.otherImages.push_back(MakeQuadrantPicture(32, 32));
        const std::wstring input = folder_ / c.name;
        WriteHeicFile(input, picture, heic);
        const ConversionResult result = Convert(input);

        ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
        EXPECT_EQ(result.hresult, S_OK);
        EXPECT_TRUE(result.message.empty());
        EXPECT_EQ(StemOf(result.outputPath), StemOf(input));
        const JpegFileInfo jpeg = ReadJpegFile(HostPath(result.outputPath));
        EXPECT_TRUE(SamePattern(jpeg.picture, Oriented(picture, c.orientation)));
        // HEIF carries no resolution; the 96 dpi it is read with reaches the JFIF header.
        EXPECT_EQ(jpeg.density.unit, 1);
        EXPECT_EQ(jpeg.density.x, 96);
        EXPECT_EQ(jpeg.density.y, 96);
    }
}

// A picture whose every block differs, so that the JPEG quality shows in the file size.
TestPicture NoisyPicture(int width, int height) {
    TestPicture picture = MakeQuadrantPicture(width, height);
    std::uint32_t state = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            state = state * 1103515245u + 12345u;
            const auto noise = static_cast<std::uint8_t>(state >> 24);
            picture.Set(x, y, Rgb{noise, static_cast<std::uint8_t>(255 - noise), 128});
        }
    }
    return picture;
}

TEST_F(RealConversion, AHigherQualityGivesALargerFile) {
    const std::wstring input = folder_ / L"noise.heic";
    HeicOptions heic;
    heic.quality = 100;
    WriteHeicFile(input, NoisyPicture(96, 64), heic);
    std::uintmax_t previousSize = 0;
    for (const int quality : {20, 60, 92, 100}) {
        SCOPED_TRACE(quality);
        ConversionOptions options;
        options.quality = quality;
        options.overwrite = true;
        const ConversionResult result = Convert(input, options);
        ASSERT_TRUE(result.succeeded);
        const std::uintmax_t size = ReadTestFile(HostPath(result.outputPath)).size();
        EXPECT_GT(size, previousSize);
        previousSize = size;
    }
}

// The quadrants with a grain that lossy coding cannot flatten, so that the coded picture runs to
// hundreds of KiB as a photo's does.
TestPicture GrainyPicture(int width, int height) {
    TestPicture picture = MakeQuadrantPicture(width, height);
    std::uint32_t state = 2024;
    const auto grainy = [&state](std::uint8_t value) {
        state = state * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(value + static_cast<int>(state >> 27) - 16);
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb color = picture.At(x, y);
            picture.Set(x, y, Rgb{grainy(color.r), grainy(color.g), grainy(color.b)});
        }
    }
    return picture;
}

// Whether the two agree on the mean colour of every 16 x 16 square, which the grain does not move.
testing::AssertionResult SameSquareMeans(const TestPicture& actual, const TestPicture& expected) {
    constexpr int kSide = 16;
    constexpr int kTolerance = 8;
    if (actual.width != expected.width || actual.height != expected.height) {
        return testing::AssertionFailure() << actual.width << " x " << actual.height;
    }
    for (int top = 0; top + kSide <= actual.height; top += kSide) {
        for (int left = 0; left + kSide <= actual.width; left += kSide) {
            int difference[3] = {};
            for (int y = top; y < top + kSide; ++y) {
                for (int x = left; x < left + kSide; ++x) {
                    const Rgb a = actual.At(x, y);
                    const Rgb e = expected.At(x, y);
                    difference[0] += a.r - e.r;
                    difference[1] += a.g - e.g;
                    difference[2] += a.b - e.b;
                }
            }
            for (const int sum : difference) {
                if (std::abs(sum) > kTolerance * kSide * kSide) {
                    return testing::AssertionFailure() << "square at (" << left << "," << top
                                                       << ") differs by " << sum / (kSide * kSide);
                }
            }
        }
    }
    return testing::AssertionSuccess();
}

// libheif reads a file's structure in small pieces, served from a read-ahead of the first 64 KiB;
// a photo's coded data lies well beyond it, read in one piece or, behind other images, in small
// pieces again.
TEST_F(RealConversion, APhotoWhoseDataLiesFarIntoTheFileConvertsWhole) {
    struct Case {
        const wchar_t* name;
        TestPicture picture;
        std::vector<TestPicture> before;  // images written ahead of it
    };
    const Case cases[] = {
        {L"photo.heic", GrainyPicture(2016, 1512), {}},
        {L"behind a photo.heic", MakeQuadrantPicture(640, 480), {GrainyPicture(1008, 756)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        const std::wstring input = folder_ / c.name;
        HeicOptions heic;
        heic.otherImages = c.before;
        heic.quick = true;
        WriteHeicFile(input, c.picture, heic);
        ASSERT_GT(ReadTestFile(input).size(), std::size_t{256} << 10) << "a fixture too small";
        const ConversionResult result = Convert(input);

        ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
        EXPECT_TRUE(SameSquareMeans(ReadJpegFile(HostPath(result.outputPath)).picture, c.picture));
    }
}

TEST_F(RealConversion, AnUnreadableInputFailsCleanlyAndLeavesNoFile) {
    const std::wstring good = folder_ / L"good.heic";
    WriteHeicFile(good, MakeQuadrantPicture(64, 48));
    const std::string goodBytes = ReadTestFile(good);
    struct Case {
        const wchar_t* name;
        std::string bytes;
    };
    const Case cases[] = {
        {L"truncated.heic", goodBytes.substr(0, goodBytes.size() / 2)},
        {L"header only.heic", goodBytes.substr(0, 40)},
        {L"not an image.heic", "This is a shopping list, not a photo.\n"},
        {L"empty.heic", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        const std::wstring input = folder_ / c.name;
        WriteTestFile(input, c.bytes);
        const ConversionResult result = Convert(input);

        EXPECT_FALSE(result.succeeded);
        EXPECT_LT(result.hresult, 0);
        EXPECT_EQ(result.message, FormatFailureMessage(result.hresult));
        EXPECT_FALSE(result.outputPath.empty());
        EXPECT_FALSE(TestEntryExists(HostPath(result.outputPath)));
    }
}

// The file names no decoder's format: the user is told about the missing codec.
TEST_F(RealConversion, ContentNoDecoderKnowsAsksForTheCodec) {
    const std::wstring input = folder_ / L"text.heic";
    WriteTestFile(input, "This is a shopping list, not a photo.\n");
    const ConversionResult result = Convert(input);
    EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), 0x88982F50u);
    EXPECT_EQ(result.message, FormatFailureMessage(result.hresult));
}

// Restores the current folder however the test ends.
class CurrentFolder {
  public:
    explicit CurrentFolder(const std::wstring& path) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(NativePath(path));
    }
    ~CurrentFolder() { std::filesystem::current_path(saved_); }

  private:
    std::filesystem::path saved_;
};

TEST_F(RealConversion, ARelativeInputIsReportedAndWrittenBesideItsAbsoluteForm) {
    MakeTestFolder(folder_ / L"pics");
    WriteHeicFile(folder_ / L"pics" + L"/a.heic", MakeQuadrantPicture(32, 32));
    CurrentFolder inside(folder_.path());

    const ConversionResult result = Convert(L"pics\\a.heic");
    ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
    EXPECT_EQ(result.inputPath, folder_.path() + L"/pics/a.heic");
    EXPECT_EQ(result.outputPath, folder_.path() + L"/pics\\a.jpg");
    EXPECT_TRUE(TestEntryExists(folder_ / L"pics" + L"/a.jpg"));
}

// With self-test a JPEG may be its own output name; overwriting must not destroy it.
TEST_F(RealConversion, AJpegInputIsNeverOverwrittenByItsOwnConversion) {
    const TestPicture picture = MakeQuadrantPicture(48, 32);
    const std::wstring input = folder_ / L"x.jpg";
    WriteJpegFile(input, picture);
    const std::string original = ReadTestFile(input);

    ConversionOptions options;
    options.selfTest = true;
    options.overwrite = true;
    const ConversionResult result = Convert(input, options);

    ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
    EXPECT_EQ(FinalElement(result.outputPath), L"x (1).jpg");
    EXPECT_EQ(ReadTestFile(input), original);
    EXPECT_TRUE(SamePattern(ReadJpegFile(HostPath(result.outputPath)).picture, picture));
}

}  // namespace

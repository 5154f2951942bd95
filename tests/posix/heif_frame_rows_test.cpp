// The HEIF frame's rows, taken from libheif's planes, and the converter's BGR, written by the frame
// itself: byte for byte what libheif's own interleaved RGB decoding of the same file gives. And,
// with the program's heap set up, the memory that the decoder frees going back to the system.
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/posix/image_memory.h"
#include "platform/com_owner.h"
#include "platform/imaging_api.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

// Smooth ramps with noise on top: every pixel differs from its neighbours, so that a wrong row,
// column, channel or plane stride shows in an exact comparison.
TestPicture MakeRampPicture(int width, int height) {
    TestPicture picture{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
    std::uint32_t seed = 777;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int noise = static_cast<int>((seed >> 16) % 31) - 15;
            auto clamp = [](int v) {
                return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            };
            picture.Set(x, y,
                        {clamp(x * 255 / width + noise), clamp(y * 255 / height - noise),
                         clamp((x + y) * 127 / (width + height) + 64 + noise)});
        }
    }
    return picture;
}

struct HeifEncoderFree {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct HeifContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HeifHandleFree {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct HeifImageFree {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct HeifOptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// A grey picture coded without chroma (HEVC 4:0:0), which libheif turns into RGB on a route of
// its own.
void WriteMonochromeHeic(const std::wstring& path, const TestPicture& picture) {
    heif_image* raw = nullptr;
    heif_image_create(picture.width, picture.height, heif_colorspace_monochrome,
                      heif_chroma_monochrome, &raw);
    std::unique_ptr<heif_image, HeifImageFree> image(raw);
    heif_image_add_plane(image.get(), heif_channel_Y, picture.width, picture.height, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_Y, &stride);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) plane[y * stride + x] = picture.At(x, y).g;
    }
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder)
            .code != heif_error_Ok) {
        throw std::runtime_error("no HEVC encoder in libheif");
    }
    std::unique_ptr<heif_encoder, HeifEncoderFree> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), 90);
    if (heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr)
                .code != heif_error_Ok ||
        heif_context_write_to_file(context.get(), NativePath(path).c_str()).code != heif_error_Ok) {
        throw std::runtime_error("cannot write the grey HEIC file");
    }
}

// What libheif itself decodes the primary image of `path` to as interleaved 8-bit RGB.
struct LibheifView {
    int width = 0;
    int height = 0;
    int headerLumaBits = 0;
    std::vector<std::uint8_t> rgb;
};

LibheifView DecodeWithLibheif(const std::wstring& path) {
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    if (heif_context_read_from_file(context.get(), NativePath(path).c_str(), nullptr).code !=
        heif_error_Ok) {
        throw std::runtime_error("libheif cannot read the test file");
    }
    heif_image_handle* rawHandle = nullptr;
    heif_context_get_primary_image_handle(context.get(), &rawHandle);
    std::unique_ptr<heif_image_handle, HeifHandleFree> handle(rawHandle);
    std::unique_ptr<heif_decoding_options, HeifOptionsFree> options(heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    heif_image* rawImage = nullptr;
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                          options.get())
            .code != heif_error_Ok) {
        throw std::runtime_error("libheif cannot decode the test file");
    }
    std::unique_ptr<heif_image, HeifImageFree> image(rawImage);
    LibheifView view;
    view.width = heif_image_get_width(image.get(), heif_channel_interleaved);
    view.height = heif_image_get_height(image.get(), heif_channel_interleaved);
    view.headerLumaBits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    int stride = 0;
    const std::uint8_t* rows =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < view.height; ++y) {
        view.rgb.insert(view.rgb.end(), rows + std::size_t(y) * stride,
                        rows + std::size_t(y) * stride + std::size_t(view.width) * 3);
    }
    return view;
}

// Where two images of the same size first differ, or "" when they agree byte for byte.
std::string FirstDifference(const std::vector<std::uint8_t>& actual,
                            const std::vector<std::uint8_t>& expected, int width) {
    if (actual.size() != expected.size()) return "sizes differ";
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            const std::size_t pixel = i / 3;
            return "pixel " + std::to_string(pixel % width) + "," + std::to_string(pixel / width) +
                   " channel " + std::to_string(i % 3) + ": " + std::to_string(actual[i]) +
                   " instead of " + std::to_string(expected[i]);
        }
    }
    return "";
}

std::vector<std::uint8_t> SwappedRedAndBlue(std::vector<std::uint8_t> pixels) {
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) std::swap(pixels[i], pixels[i + 2]);
    return pixels;
}

// Resident memory of this process, in bytes.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t total = 0;
    std::size_t resident = 0;
    statm >> total >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

class HeifFrameRowsTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(
            CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IWICImagingFactory, reinterpret_cast<void**>(factory_.put())),
            S_OK);
    }
    void TearDown() override {
        factory_.reset();
        CoUninitialize();
    }

    // Frame 0 of `path`, and the BGR converter on it.
    void Open(const std::wstring& path, ComOwner<IWICBitmapFrameDecode>& frame,
              ComOwner<IWICFormatConverter>& converter) {
        ComOwner<IWICBitmapDecoder> decoder;
        ASSERT_EQ(
            factory_->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, decoder.put()),
            S_OK);
        ASSERT_EQ(decoder->GetFrame(0, frame.put()), S_OK);
        ASSERT_EQ(factory_->CreateFormatConverter(converter.put()), S_OK);
        ASSERT_EQ(
            converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                  nullptr, 0.0, WICBitmapPaletteTypeCustom),
            S_OK);
    }

    // The whole image of `source`, rows packed.
    static std::vector<std::uint8_t> ReadAll(IWICBitmapSource* source) {
        UINT width = 0;
        UINT height = 0;
        EXPECT_EQ(source->GetSize(&width, &height), S_OK);
        std::vector<std::uint8_t> pixels(std::size_t(width) * height * 3);
        EXPECT_EQ(
            source->CopyPixels(nullptr, width * 3, static_cast<UINT>(pixels.size()), pixels.data()),
            S_OK);
        return pixels;
    }

    // The stand-in's RGB frame and BGR converter both agree with libheif's interleaved decoding.
    void ExpectLibheifPixels(const std::wstring& path) {
        const LibheifView reference = DecodeWithLibheif(path);
        ComOwner<IWICBitmapFrameDecode> frame;
        ComOwner<IWICFormatConverter> converter;
        ASSERT_NO_FATAL_FAILURE(Open(path, frame, converter));
        UINT width = 0;
        UINT height = 0;
        ASSERT_EQ(converter->GetSize(&width, &height), S_OK);
        ASSERT_EQ(int(width), reference.width);
        ASSERT_EQ(int(height), reference.height);
        EXPECT_EQ(FirstDifference(ReadAll(frame.get()), reference.rgb, reference.width), "")
            << "frame, RGB";
        EXPECT_EQ(FirstDifference(ReadAll(converter.get()), SwappedRedAndBlue(reference.rgb),
                                  reference.width),
                  "")
            << "converter, BGR";
    }

    TempFolder folder_;
    ComOwner<IWICImagingFactory> factory_;
};

TEST_F(HeifFrameRowsTest, EveryKindOfImageGivesLibheifsOwnPixels) {
    const TestPicture ramp = MakeRampPicture(64, 48);
    struct Case {
        const char* name;
        TestPicture picture;
        HeicOptions options;
    };
    const Case cases[] = {
        {"8-bit", ramp, {}},
        {"8-bit, alpha plane left out", ramp, {.alpha = true}},
        {"turned a quarter (planes swap width and height)", ramp, {.orientation = 6}},
        {"turned half", ramp, {.orientation = 3}},
        {"mirrored and turned", ramp, {.orientation = 5}},
        {"odd size, cropped from the coded size", MakeRampPicture(33, 19), {}},
        {"10-bit, brought to 8 by libheif", ramp, {.bitDepth = 10}},
        {"10-bit with alpha, turned", ramp, {.bitDepth = 10, .alpha = true, .orientation = 8}},
        {"primary after other images", ramp, {.otherImages = {MakeRampPicture(40, 40)}}},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = folder_ / (L"case" + std::to_wstring(index++) + L".heic");
        WriteHeicFile(path, c.picture, c.options);
        ExpectLibheifPixels(path);
    }
    SCOPED_TRACE("grey, without chroma");
    WriteMonochromeHeic(folder_ / L"grey.heic", ramp);
    ExpectLibheifPixels(folder_ / L"grey.heic");
}

// A header that promises 8-bit samples over a 10-bit picture would have the frame read 16-bit
// planes as 8-bit ones; the decoding must fail instead.
TEST_F(HeifFrameRowsTest, PictureDeeperThanItsHeaderFailsToDecode) {
    const std::wstring path = folder_ / L"deeper.heic";
    WriteHeicFile(path, MakeRampPicture(48, 32), {.bitDepth = 10});
    std::string bytes = ReadTestFile(path);
    const std::size_t box = bytes.find("hvcC");
    ASSERT_NE(box, std::string::npos);
    // The configuration record after the box type: bit depths minus 8 at offsets 17 and 18, in
    // their low three bits under reserved ones.
    bytes[box + 4 + 17] = static_cast<char>(0xF8);
    bytes[box + 4 + 18] = static_cast<char>(0xF8);
    WriteTestFile(path, bytes);
    ComOwner<IWICBitmapDecoder> decoder;
    ASSERT_EQ(factory_->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, decoder.put()),
              S_OK);
    ComOwner<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrame(0, frame.put()), WINCODEC_ERR_BADIMAGE);
    EXPECT_FALSE(frame);
}

// Any rectangle at any stride: each row where it belongs, padding between rows untouched.
TEST_F(HeifFrameRowsTest, RectanglesComeFromTheirPlaceInTheImage) {
    const std::wstring path = folder_ / L"in.heic";
    WriteHeicFile(path, MakeRampPicture(40, 30));
    ComOwner<IWICBitmapFrameDecode> frame;
    ComOwner<IWICFormatConverter> converter;
    ASSERT_NO_FATAL_FAILURE(Open(path, frame, converter));
    const std::vector<std::uint8_t> whole = ReadAll(frame.get());
    struct Case {
        WICRect rect;
        UINT stride;
    };
    const Case cases[] = {
        {{0, 0, 40, 30}, 40 * 3}, {{0, 0, 40, 30}, 40 * 3 + 7}, {{13, 9, 1, 1}, 3},
        {{39, 29, 1, 1}, 16},     {{0, 16, 40, 14}, 40 * 3},    {{5, 3, 17, 11}, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rect.X) + "," + std::to_string(c.rect.Y) + " " +
                     std::to_string(c.rect.Width) + "x" + std::to_string(c.rect.Height) +
                     " stride " + std::to_string(c.stride));
        const std::size_t rowBytes = std::size_t(c.rect.Width) * 3;
        const UINT size = c.stride * UINT(c.rect.Height - 1) + UINT(rowBytes);
        for (const bool bgr : {false, true}) {
            std::vector<std::uint8_t> buffer(std::size_t(c.stride) * c.rect.Height, 0xEE);
            IWICBitmapSource* source =
                bgr ? static_cast<IWICBitmapSource*>(converter.get()) : frame.get();
            ASSERT_EQ(source->CopyPixels(&c.rect, c.stride, size, buffer.data()), S_OK);
            for (int y = 0; y < c.rect.Height; ++y) {
                const std::uint8_t* row = buffer.data() + std::size_t(y) * c.stride;
                for (int x = 0; x < c.rect.Width; ++x) {
                    const std::uint8_t* expected =
                        whole.data() + (std::size_t(c.rect.Y + y) * 40 + c.rect.X + x) * 3;
                    const std::uint8_t* got = row + std::size_t(x) * 3;
                    ASSERT_EQ(got[0], expected[bgr ? 2 : 0]) << "at " << x << "," << y;
                    ASSERT_EQ(got[1], expected[1]) << "at " << x << "," << y;
                    ASSERT_EQ(got[2], expected[bgr ? 0 : 2]) << "at " << x << "," << y;
                }
                for (std::size_t pad = rowBytes; pad < c.stride; ++pad)
                    ASSERT_EQ(row[pad], 0xEE) << "padding of row " << y;
            }
        }
    }
}

// An RGB source that is not our HEIF frame: the converter copies its rows and swaps them.
class PlainRgbSource final : public IWICBitmapSource {
  public:
    explicit PlainRgbSource(const TestPicture& picture) : picture_(picture) {}
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT GetSize(UINT* width, UINT* height) override {
        *width = UINT(picture_.width);
        *height = UINT(picture_.height);
        return S_OK;
    }
    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        *format = GUID_WICPixelFormat24bppRGB;
        return S_OK;
    }
    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        *dpiX = *dpiY = 96.0;
        return S_OK;
    }
    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT, BYTE* buffer) override {
        for (int y = 0; y < rect->Height; ++y) {
            std::memcpy(
                buffer + std::size_t(y) * stride,
                picture_.rgb.data() + (std::size_t(rect->Y + y) * picture_.width + rect->X) * 3,
                std::size_t(rect->Width) * 3);
        }
        return S_OK;
    }

  private:
    TestPicture picture_;
};

TEST_F(HeifFrameRowsTest, OtherRgbSourcesAreSwappedByTheConverter) {
    const TestPicture picture = MakeRampPicture(21, 9);
    PlainRgbSource source(picture);
    ComOwner<IWICFormatConverter> converter;
    ASSERT_EQ(factory_->CreateFormatConverter(converter.put()), S_OK);
    ASSERT_EQ(converter->Initialize(&source, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                    nullptr, 0.0, WICBitmapPaletteTypeCustom),
              S_OK);
    EXPECT_EQ(FirstDifference(ReadAll(converter.get()), SwappedRedAndBlue(picture.rgb), 21), "");
}

// With the program's heap set up, an image-sized block that is freed leaves the process at once,
// even after a larger one was freed before it (which raises glibc's own threshold and would keep
// the next block in the heap).
TEST(ImageMemoryTest, FreedImageBuffersGoBackToTheSystem) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer brings an allocator of its own";
#endif
    SetUpImageMemory();
    constexpr std::size_t kLarger = 16u << 20;
    constexpr std::size_t kImage = 8u << 20;
    void* larger = std::malloc(kLarger);
    ASSERT_NE(larger, nullptr);
    std::memset(larger, 1, kLarger);
    std::free(larger);

    auto* image = static_cast<volatile std::uint8_t*>(std::malloc(kImage));
    ASSERT_NE(image, nullptr);
    for (std::size_t i = 0; i < kImage; i += 4096) image[i] = 1;
    const std::size_t holding = ResidentBytes();
    std::free(const_cast<std::uint8_t*>(image));
    const std::size_t released = ResidentBytes();
    EXPECT_GE(holding, released + kImage * 7 / 8)
        << "resident " << holding << " bytes with the block, " << released << " after freeing it";
}

// Freed tile-sized blocks stay for the next tile, but go back to the system before a whole image's
// block is taken, so that they never add to the largest moment of a photo.
TEST(ImageMemoryTest, KeptTileBuffersGoBackBeforeAnImageBlock) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer brings an allocator of its own";
#endif
    SetUpImageMemory();
    constexpr std::size_t kTile = 256u << 10;
    constexpr std::size_t kKept = 32 * kTile;
    std::vector<void*> tiles;
    for (std::size_t i = 0; i < kKept / kTile; ++i) {
        tiles.push_back(std::malloc(kTile));
        ASSERT_NE(tiles.back(), nullptr);
        std::memset(tiles.back(), 1, kTile);
    }
    const std::size_t holding = ResidentBytes();
    for (void* tile : tiles) std::free(tile);

    std::free(AllocateBlock(kImageBlockBytes - 1));
    const std::size_t afterSmaller = ResidentBytes();
    EXPECT_GE(afterSmaller + kKept / 8, holding) << "tile buffers given back for a smaller block";
    std::free(AllocateBlock(kImageBlockBytes));
    const std::size_t afterImage = ResidentBytes();
    EXPECT_GE(afterSmaller, afterImage + kKept * 7 / 8)
        << "resident " << afterSmaller << " bytes before, " << afterImage << " after";
}

}  // namespace

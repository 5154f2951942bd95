// The Linux stand-in for COM and WIC, driven through the same interfaces the conversion uses, on
// images made by the tests themselves.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com_owner.h"
#include "platform/imaging_api.h"
#include "platform/posix/system/utf8.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

bool IsWicCode(HRESULT hr) {
    return (static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x88980000u;
}

std::string Hex(HRESULT hr) {
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << static_cast<std::uint32_t>(hr);
    return text.str();
}

HRESULT WriteOption(IPropertyBag2* options, const wchar_t* property, VARTYPE type, double value) {
    PROPBAG2 name{};
    name.pstrName = const_cast<LPOLESTR>(property);
    VARIANT variant;
    VariantInit(&variant);
    variant.vt = type;
    if (type == VT_R8) {
        variant.dblVal = value;
    } else {
        variant.fltVal = static_cast<float>(value);
    }
    const HRESULT hr = options->Write(1, &name, &variant);
    VariantClear(&variant);
    return hr;
}

// A noisy picture, so that the JPEG quality shows in the file size.
TestPicture MakeNoisyPicture(int width, int height) {
    TestPicture picture = MakeQuadrantPicture(width, height);
    std::uint32_t seed = 12345;
    for (auto& sample : picture.rgb) {
        seed = seed * 1103515245u + 12345u;
        const int noise = static_cast<int>((seed >> 16) % 41) - 20;
        sample = static_cast<std::uint8_t>(std::clamp(sample + noise, 0, 255));
    }
    return picture;
}

// Every test starts COM, holds one factory, and must give back every object it made.
class StandinTest : public testing::Test {
  protected:
    void SetUp() override {
        liveAtStart_ = standin::LiveObjectCount();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        ASSERT_EQ(
            CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IWICImagingFactory, reinterpret_cast<void**>(factory_.put())),
            S_OK);
    }

    void TearDown() override {
        factory_.reset();
        CoUninitialize();
        EXPECT_EQ(standin::LiveObjectCount(), liveAtStart_) << "objects left alive";
    }

    IWICImagingFactory* factory() const { return factory_.get(); }

    HRESULT OpenFrame(const std::wstring& path, ComOwner<IWICBitmapFrameDecode>& frame) {
        ComOwner<IWICBitmapDecoder> decoder;
        HRESULT hr = factory_->CreateDecoderFromFilename(
            path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, decoder.put());
        if (FAILED(hr)) return hr;
        return decoder->GetFrame(0, frame.put());
    }

    HRESULT OpenBgr(const std::wstring& path, ComOwner<IWICFormatConverter>& converter) {
        ComOwner<IWICBitmapFrameDecode> frame;
        HRESULT hr = OpenFrame(path, frame);
        if (SUCCEEDED(hr)) hr = factory_->CreateFormatConverter(converter.put());
        if (SUCCEEDED(hr)) {
            hr = converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR,
                                       WICBitmapDitherTypeNone, nullptr, 0.0,
                                       WICBitmapPaletteTypeCustom);
        }
        return hr;
    }

    // The whole image of `source` (24-bit BGR) as an RGB picture.
    static TestPicture ReadPicture(IWICBitmapSource* source) {
        UINT width = 0;
        UINT height = 0;
        EXPECT_EQ(source->GetSize(&width, &height), S_OK);
        TestPicture picture{static_cast<int>(width), static_cast<int>(height),
                            std::vector<std::uint8_t>(std::size_t{width} * height * 3)};
        EXPECT_EQ(source->CopyPixels(nullptr, width * 3, static_cast<UINT>(picture.rgb.size()),
                                     picture.rgb.data()),
                  S_OK);
        for (std::size_t i = 0; i < picture.rgb.size(); i += 3)
            std::swap(picture.rgb[i], picture.rgb[i + 2]);
        return picture;
    }

    struct EncodeSettings {
        float quality = 0.92f;
        bool setResolution = false;
        double dpiX = 96.0;
        double dpiY = 96.0;
    };

    // The encoding chain as the conversion runs it; the first failure is returned.
    HRESULT Encode(IWICBitmapSource* source, const std::wstring& output,
                   const EncodeSettings& settings) {
        ComOwner<IWICStream> stream;
        ComOwner<IWICBitmapEncoder> encoder;
        ComOwner<IWICBitmapFrameEncode> frame;
        ComOwner<IPropertyBag2> options;
        HRESULT hr = factory_->CreateStream(stream.put());
        if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(output.c_str(), GENERIC_WRITE);
        if (SUCCEEDED(hr))
            hr = factory_->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put());
        if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
        if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.put(), options.put());
        if (SUCCEEDED(hr))
            hr = WriteOption(options.get(), L"ImageQuality", VT_R4, settings.quality);
        if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
        UINT width = 0;
        UINT height = 0;
        if (SUCCEEDED(hr)) hr = source->GetSize(&width, &height);
        if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
        if (SUCCEEDED(hr) && settings.setResolution)
            hr = frame->SetResolution(settings.dpiX, settings.dpiY);
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
        if (SUCCEEDED(hr)) hr = frame->WriteSource(source, nullptr);
        if (SUCCEEDED(hr)) hr = frame->Commit();
        if (SUCCEEDED(hr)) hr = encoder->Commit();
        return hr;
    }

    HRESULT Convert(const std::wstring& input, const std::wstring& output,
                    const EncodeSettings& settings) {
        ComOwner<IWICFormatConverter> converter;
        HRESULT hr = OpenBgr(input, converter);
        if (SUCCEEDED(hr)) hr = Encode(converter.get(), output, settings);
        return hr;
    }

    TempFolder folder_;

  private:
    long liveAtStart_ = 0;
    ComOwner<IWICImagingFactory> factory_;
};

// A BGR source of our own: it records every rectangle the encoder asks for, and can fail or leave
// the rows it is asked for unwritten.
class RecordingSource final : public IWICBitmapSource {
  public:
    explicit RecordingSource(const TestPicture& picture) : picture_(picture) {}

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override { return --references_; }

    HRESULT GetSize(UINT* width, UINT* height) override {
        *width = static_cast<UINT>(picture_.width);
        *height = static_cast<UINT>(picture_.height);
        return S_OK;
    }
    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }
    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        *dpiX = *dpiY = 96.0;
        return S_OK;
    }
    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT, BYTE* buffer) override {
        requests_.push_back(*rect);
        if (failAtRow_ >= 0 && rect->Y + rect->Height > failAtRow_) return failure_;
        if (leaveRowsUnwritten_) return S_OK;
        for (int y = 0; y < rect->Height; ++y) {
            for (int x = 0; x < rect->Width; ++x) {
                const Rgb color = picture_.At(rect->X + x, rect->Y + y);
                BYTE* pixel = buffer + std::size_t(y) * stride + std::size_t(x) * 3;
                pixel[0] = color.b;
                pixel[1] = color.g;
                pixel[2] = color.r;
            }
        }
        return S_OK;
    }

    void FailFromRow(int row, HRESULT failure) {
        failAtRow_ = row;
        failure_ = failure;
    }
    void LeaveRowsUnwritten() { leaveRowsUnwritten_ = true; }
    const std::vector<WICRect>& requests() const { return requests_; }
    ULONG references() const { return references_; }

  private:
    TestPicture picture_;
    std::vector<WICRect> requests_;
    int failAtRow_ = -1;
    HRESULT failure_ = S_OK;
    bool leaveRowsUnwritten_ = false;
    ULONG references_ = 1;
};

// ---- COM ---------------------------------------------------------------------------------------

// The identifiers must be Windows' own: read them from the mingw-w64 headers we cross-build with.
TEST(StandinIdentifiers, MatchTheWindowsHeaders) {
#define NAMED(guid) std::pair<std::string, const GUID*>(#guid, &guid)
    const std::map<std::string, const GUID*> ours = {NAMED(IID_IUnknown),
                                                     NAMED(IID_IWICImagingFactory),
                                                     NAMED(IID_IWICBitmapDecoder),
                                                     NAMED(IID_IWICBitmapSource),
                                                     NAMED(IID_IWICBitmapFrameDecode),
                                                     NAMED(IID_IWICFormatConverter),
                                                     NAMED(IID_IWICStream),
                                                     NAMED(IID_IStream),
                                                     NAMED(IID_IWICBitmapEncoder),
                                                     NAMED(IID_IWICBitmapFrameEncode),
                                                     NAMED(IID_IPropertyBag2),
                                                     NAMED(CLSID_WICImagingFactory),
                                                     NAMED(CLSID_WICImagingFactory2),
                                                     NAMED(GUID_ContainerFormatJpeg),
                                                     NAMED(GUID_ContainerFormatHeif),
                                                     NAMED(GUID_WICPixelFormat24bppBGR),
                                                     NAMED(GUID_WICPixelFormat24bppRGB)};
#undef NAMED
    const std::regex define(R"(DEFINE_GUID\(\s*(\w+)\s*,([^)]*)\))");
    std::map<std::string, GUID> windows;
    for (const char* header : {"wincodec.h", "unknwnbase.h", "objidlbase.h", "ocidl.h"}) {
        std::ifstream file(std::string("/usr/share/mingw-w64/include/") + header);
        ASSERT_TRUE(file) << "mingw-w64 header missing: " << header;
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        for (std::sregex_iterator it(text.begin(), text.end(), define), end; it != end; ++it) {
            std::vector<unsigned long> parts;
            std::istringstream values((*it)[2].str());
            for (std::string part; std::getline(values, part, ',');)
                parts.push_back(std::stoul(part, nullptr, 0));
            if (parts.size() != 11) continue;
            GUID guid{static_cast<std::uint32_t>(parts[0]),
                      static_cast<std::uint16_t>(parts[1]),
                      static_cast<std::uint16_t>(parts[2]),
                      {}};
            for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<std::uint8_t>(parts[3 + i]);
            windows.emplace((*it)[1].str(), guid);
        }
    }
    for (const auto& [name, guid] : ours) {
        const auto found = windows.find(name);
        ASSERT_NE(found, windows.end()) << name << " not in the Windows headers";
        EXPECT_TRUE(found->second == *guid) << name;
    }
}

TEST(StandinCom, InitializeNestsPerThreadAndKeepsItsModel) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // Fully left: a new start may choose another model, and creation needs a start again.
    ComOwner<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(object.put())),
              CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

TEST(StandinCom, CreateInstanceOffersOnlyTheImagingFactory) {
    struct Case {
        const CLSID& clsid;
        bool aggregated;
        const IID& iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {CLSID_WICImagingFactory2, false, IID_IWICImagingFactory, S_OK},
        {CLSID_WICImagingFactory, false, IID_IUnknown, S_OK},
        {GUID_ContainerFormatJpeg, false, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {CLSID_WICImagingFactory, false, IID_IWICBitmapDecoder, E_NOINTERFACE},
        {CLSID_WICImagingFactory, true, IID_IUnknown, CLASS_E_NOAGGREGATION},
    };
    const long liveAtStart = standin::LiveObjectCount();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    RecordingSource outer(MakeQuadrantPicture(2, 2));  // any object will do: it is refused
    for (const Case& c : cases) {
        ComOwner<IUnknown> object;
        EXPECT_EQ(
            Hex(CoCreateInstance(c.clsid, c.aggregated ? &outer : nullptr, CLSCTX_INPROC_SERVER,
                                 c.iid, reinterpret_cast<void**>(object.put()))),
            Hex(c.expected));
        EXPECT_EQ(static_cast<bool>(object), SUCCEEDED(c.expected));
    }
    CoUninitialize();
    EXPECT_EQ(standin::LiveObjectCount(), liveAtStart);
}

// ---- reference counting ------------------------------------------------------------------------

// The chain's objects hold what they use: a caller may let go of the decoder, frame, stream and
// encoder early, and the conversion still completes.
TEST_F(StandinTest, HoldersKeepWhatTheyUseAlive) {
    const TestPicture picture = MakeQuadrantPicture(48, 32);
    WriteHeicFile(folder_ / L"in.heic", picture);
    ComOwner<IWICFormatConverter> converter;
    ASSERT_EQ(OpenBgr(folder_ / L"in.heic", converter), S_OK);  // decoder and frame released here

    ComOwner<IWICStream> stream;
    ASSERT_EQ(factory()->CreateStream(stream.put()), S_OK);
    ASSERT_EQ(stream->InitializeFromFilename((folder_ / L"out.jpg").c_str(), GENERIC_WRITE), S_OK);
    ComOwner<IWICBitmapEncoder> encoder;
    ASSERT_EQ(factory()->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put()), S_OK);
    ASSERT_EQ(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), S_OK);
    stream.reset();
    ComOwner<IWICBitmapFrameEncode> frame;
    ASSERT_EQ(encoder->CreateNewFrame(frame.put(), nullptr), S_OK);
    ASSERT_EQ(frame->Initialize(nullptr), S_OK);
    ASSERT_EQ(frame->WriteSource(converter.get(), nullptr), S_OK);
    ASSERT_EQ(frame->Commit(), S_OK);
    ASSERT_EQ(encoder->Commit(), S_OK);
    // The frame holds the encoder, which holds the stream: nothing ends until the frame goes.
    const long live = standin::LiveObjectCount();
    encoder.reset();
    EXPECT_EQ(standin::LiveObjectCount(), live);
    frame.reset();
    EXPECT_LT(standin::LiveObjectCount(), live);

    EXPECT_TRUE(SamePattern(ReadJpegFile(folder_ / L"out.jpg").picture, picture));
}

// ---- decoding ----------------------------------------------------------------------------------

// What the tests below rely on: the HEIC files really carry the features they are named after.
TEST(StandinFixtures, HeicFilesCarryWhatTheyClaim) {
    TempFolder folder;
    const TestPicture picture = MakeQuadrantPicture(64, 32);
    WriteHeicFile(folder / L"turned.heic", picture, {.orientation = 6});
    WriteHeicFile(folder / L"deep.heic", picture, {.bitDepth = 10, .alpha = true});
    WriteHeicFile(folder / L"several.heic", picture, {.otherImages = {picture, picture}});
    auto primary = [&](const wchar_t* name, auto check) {
        heif_context* context = heif_context_alloc();
        heif_image_handle* handle = nullptr;
        ASSERT_EQ(
            heif_context_read_from_file(context, NativePath(folder / name).c_str(), nullptr).code,
            heif_error_Ok);
        ASSERT_EQ(heif_context_get_primary_image_handle(context, &handle).code, heif_error_Ok);
        check(context, handle);
        heif_image_handle_release(handle);
        heif_context_free(context);
    };
    // Turned by a transform that the file carries, not by turning the stored pixels.
    EXPECT_NE(ReadTestFile(folder / L"turned.heic").find("irot"), std::string::npos);
    primary(L"turned.heic", [](heif_context*, heif_image_handle* handle) {
        EXPECT_EQ(heif_image_handle_get_width(handle), 32);
    });
    primary(L"deep.heic", [](heif_context*, heif_image_handle* handle) {
        EXPECT_EQ(heif_image_handle_get_luma_bits_per_pixel(handle), 10);
        EXPECT_TRUE(heif_image_handle_has_alpha_channel(handle));
    });
    primary(L"several.heic", [](heif_context* context, heif_image_handle*) {
        heif_item_id ids[3] = {};
        heif_item_id primaryId = 0;
        ASSERT_EQ(heif_context_get_list_of_top_level_image_IDs(context, ids, 3), 3);
        ASSERT_EQ(heif_context_get_primary_image_ID(context, &primaryId).code, heif_error_Ok);
        EXPECT_NE(primaryId, ids[0]);
    });
}

TEST_F(StandinTest, HeifFrameIsThePrimaryImageAsShown) {
    const TestPicture picture = MakeQuadrantPicture(64, 48);
    const TestPicture decoy = MakeQuadrantPicture(48, 48);  // another size, to tell it apart
    struct Case {
        const char* name;
        HeicOptions options;
        int shownAs;  // the EXIF orientation the decoded image must show
    };
    std::vector<Case> cases = {
        {"8-bit", {}, 1},
        {"10-bit", {.bitDepth = 10}, 1},
        {"alpha dropped, colours under transparency kept", {.alpha = true}, 1},
        {"10-bit with alpha, turned", {.bitDepth = 10, .alpha = true, .orientation = 8}, 8},
        {"primary after other images", {.otherImages = {decoy, Oriented(decoy, 2)}}, 1},
    };
    for (int orientation = 2; orientation <= 8; ++orientation) {
        cases.push_back({"orientation", {.orientation = orientation}, orientation});
    }
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.shownAs));
        const std::wstring path = folder_ / (L"case" + std::to_wstring(index++) + L".heic");
        WriteHeicFile(path, picture, c.options);
        ComOwner<IWICFormatConverter> converter;
        ASSERT_EQ(Hex(OpenBgr(path, converter)), Hex(S_OK));
        EXPECT_TRUE(SamePattern(ReadPicture(converter.get()), Oriented(picture, c.shownAs)));
        double dpiX = 0;
        double dpiY = 0;
        ASSERT_EQ(converter->GetResolution(&dpiX, &dpiY), S_OK);
        EXPECT_EQ(dpiX, 96.0);
        EXPECT_EQ(dpiY, 96.0);
    }
}

TEST_F(StandinTest, JpegResolutionFollowsTheJfifDensity) {
    struct Case {
        JpegDensity density;
        double dpiX;
        double dpiY;
    };
    const Case cases[] = {
        {{1, 300, 150}, 300.0, 150.0},
        {{2, 100, 40}, 254.0, 101.6},  // dots per centimetre
        {{0, 1, 1}, 96.0, 96.0},       // an aspect ratio only
        {{1, 0, 0}, 0.0, 0.0},         // stated as zero: the caller decides what to do
    };
    const TestPicture picture = MakeQuadrantPicture(24, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.density.unit) + ":" + std::to_string(c.density.x));
        WriteJpegFile(folder_ / L"in.jpg", picture, 95, c.density);
        ComOwner<IWICFormatConverter> converter;
        ASSERT_EQ(OpenBgr(folder_ / L"in.jpg", converter), S_OK);
        double dpiX = -1;
        double dpiY = -1;
        ASSERT_EQ(converter->GetResolution(&dpiX, &dpiY), S_OK);
        EXPECT_NEAR(dpiX, c.dpiX, 1e-9);
        EXPECT_NEAR(dpiY, c.dpiY, 1e-9);
        EXPECT_TRUE(SamePattern(ReadPicture(converter.get()), picture));
    }
}

TEST_F(StandinTest, UnreadableInputsFailWithTheirCodes) {
    MakeTestFolder(folder_ / L"folder.heic");
    WriteTestFile(folder_ / L"text.heic", "not an image at all, just words");
    WriteTestFile(folder_ / L"empty.heic", "");
    // An ISO media file of another kind (an MP4 video's file type box).
    WriteTestFile(folder_ / L"video.heic", std::string("\0\0\0\x18"
                                                       "ftypisom\0\0\0\0isommp41",
                                                       24));
    WriteTestFile(folder_ / L"png.heic", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));

    ASSERT_EQ(mkfifo(NativePath(folder_ / L"fifo.heic").c_str(), 0600), 0);

    struct Case {
        std::wstring path;
        HRESULT expected;
    };
    const Case cases[] = {
        {folder_ / L"missing.heic", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {folder_ / L"folder.heic", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {folder_ / L"fifo.heic", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {L"/dev/null", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {folder_ / L"text.heic", WINCODEC_ERR_COMPONENTNOTFOUND},
        {folder_ / L"empty.heic", WINCODEC_ERR_COMPONENTNOTFOUND},
        {folder_ / L"video.heic", WINCODEC_ERR_COMPONENTNOTFOUND},
        {folder_ / L"png.heic", WINCODEC_ERR_COMPONENTNOTFOUND},
    };
    for (const Case& c : cases) {
        ComOwner<IWICBitmapFrameDecode> frame;
        EXPECT_EQ(Hex(OpenFrame(c.path, frame)), Hex(c.expected)) << ToUtf8(c.path);
        EXPECT_FALSE(frame);
    }
}

// The file type box decides: HEVC brands and the generic HEIF brand go to libheif, AVIF does not.
TEST_F(StandinTest, FileTypeBrandsChooseTheDecoder) {
    WriteHeicFile(folder_ / L"in.heic", MakeQuadrantPicture(32, 16));
    const std::string bytes = ReadTestFile(folder_ / L"in.heic");
    ASSERT_EQ(bytes.substr(4, 24), std::string("ftypheic\0\0\0\0mif1heicmiaf", 24));
    struct Case {
        const char* brands;  // major brand, minor version, three compatible brands
        HRESULT expected;
    };
    const Case cases[] = {
        {"mif1\0\0\0\0mif1heicmiaf", S_OK},
        {"heix\0\0\0\0mif1miafMiHE", S_OK},
        {"avif\0\0\0\0mif1avifmiaf", WINCODEC_ERR_COMPONENTNOTFOUND},
        {"isom\0\0\0\0isomiso2mp41", WINCODEC_ERR_COMPONENTNOTFOUND},
    };
    for (const Case& c : cases) {
        WriteTestFile(folder_ / L"case.heic",
                      bytes.substr(0, 8) + std::string(c.brands, 20) + bytes.substr(28));
        ComOwner<IWICBitmapFrameDecode> frame;
        EXPECT_EQ(Hex(OpenFrame(folder_ / L"case.heic", frame)), Hex(c.expected))
            << std::string(c.brands, 4);
    }
}

// Damaged files end in a WIC error at the decoder or the frame, never in a crash or a success.
TEST_F(StandinTest, DamagedImagesFailWithWicCodes) {
    const TestPicture picture = MakeQuadrantPicture(64, 48);
    const std::wstring heic = folder_ / L"good.heic";
    const std::wstring jpeg = folder_ / L"good.jpg";
    WriteHeicFile(heic, picture);
    WriteJpegFile(jpeg, picture);
    const std::string heicBytes = ReadTestFile(heic);
    const std::string jpegBytes = ReadTestFile(jpeg);

    std::vector<std::pair<std::string, std::string>> damaged;
    for (std::size_t keep : {std::size_t{12}, std::size_t{40}, heicBytes.size() / 3,
                             heicBytes.size() / 2, heicBytes.size() - 100, heicBytes.size() - 1}) {
        damaged.emplace_back("HEIC cut at " + std::to_string(keep), heicBytes.substr(0, keep));
    }
    // The coded picture overwritten with garbage.
    std::string garbled = heicBytes;
    const std::size_t mdat = garbled.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    for (std::size_t i = mdat + 8; i < garbled.size(); i += 5)
        garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
    damaged.emplace_back("HEIC with garbled data", garbled);
    // A header claiming a picture far beyond any photograph.
    std::string huge = heicBytes;
    const std::size_t ispe = huge.find("ispe");
    ASSERT_NE(ispe, std::string::npos);
    huge.replace(ispe + 8, 8, std::string("\0\0\xEA\x60\0\0\xEA\x60", 8));  // 60000 x 60000
    damaged.emplace_back("HEIC claiming 60000 x 60000", huge);
    std::string hugeJpeg = jpegBytes;
    const std::size_t sof = hugeJpeg.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    hugeJpeg.replace(sof + 5, 4, std::string("\xFF\xDC\xFF\xDC", 4));  // 65500 x 65500
    damaged.emplace_back("JPEG claiming 65500 x 65500", hugeJpeg);
    damaged.emplace_back("JPEG cut in its header", jpegBytes.substr(0, 100));

    // The pixel limit is exact: a square of 16384 opens, one more column is refused.
    for (const auto& [columns, expected] :
         {std::pair{16384u, S_OK}, std::pair{16385u, WINCODEC_ERR_IMAGESIZEOUTOFRANGE}}) {
        std::string large = heicBytes;
        const std::size_t at = large.find("ispe") + 8;
        for (int i = 0; i < 4; ++i) {
            large[at + i] = static_cast<char>(columns >> (24 - 8 * i));
            large[at + 4 + i] = static_cast<char>(16384u >> (24 - 8 * i));
        }
        WriteTestFile(folder_ / L"large.heic", large);
        ComOwner<IWICBitmapDecoder> decoder;
        EXPECT_EQ(Hex(factory()->CreateDecoderFromFilename(
                      (folder_ / L"large.heic").c_str(), nullptr, GENERIC_READ,
                      WICDecodeMetadataCacheOnDemand, decoder.put())),
                  Hex(expected))
            << columns << " x 16384";
    }

    for (const auto& [name, bytes] : damaged) {
        const std::wstring path = folder_ / L"damaged.heic";
        WriteTestFile(path, bytes);
        ComOwner<IWICBitmapFrameDecode> frame;
        const HRESULT hr = OpenFrame(path, frame);
        EXPECT_TRUE(IsWicCode(hr)) << name << ": " << Hex(hr);
    }
}

TEST_F(StandinTest, OnlyFrameZeroExists) {
    WriteHeicFile(folder_ / L"several.heic", MakeQuadrantPicture(32, 32),
                  {.otherImages = {MakeQuadrantPicture(16, 16)}});
    ComOwner<IWICBitmapDecoder> decoder;
    ASSERT_EQ(factory()->CreateDecoderFromFilename((folder_ / L"several.heic").c_str(), nullptr,
                                                   GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                   decoder.put()),
              S_OK);
    ComOwner<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrame(1, frame.put()), WINCODEC_ERR_FRAMEMISSING);
    EXPECT_FALSE(frame);
}

// ---- the converter's CopyPixels ----------------------------------------------------------------

TEST_F(StandinTest, CopyPixelsChecksItsArgumentsAndCopiesTheRectangle) {
    WriteHeicFile(folder_ / L"in.heic", MakeQuadrantPicture(32, 16));
    ComOwner<IWICFormatConverter> converter;
    ASSERT_EQ(OpenBgr(folder_ / L"in.heic", converter), S_OK);
    std::vector<BYTE> buffer(32 * 16 * 3 + 64, 0xEE);
    const auto all = static_cast<UINT>(buffer.size());
    struct Case {
        WICRect rect;
        UINT stride;
        UINT size;
        HRESULT expected;
    };
    const Case cases[] = {
        {{0, 0, 32, 16}, 96, 96 * 16, S_OK},
        {{0, 0, 32, 16}, 100, 100 * 15 + 96, S_OK},  // the last row needs no padding
        {{0, 0, 32, 16}, 100, 100 * 15 + 95, WINCODEC_ERR_INSUFFICIENTBUFFER},
        {{0, 0, 32, 16}, 95, all, E_INVALIDARG},  // stride below a row
        {{1, 0, 32, 1}, 96, all, E_INVALIDARG},
        {{0, 15, 1, 2}, 96, all, E_INVALIDARG},
        {{-1, 0, 1, 1}, 96, all, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(converter->CopyPixels(&c.rect, c.stride, c.size, buffer.data())),
                  Hex(c.expected))
            << c.rect.X << "," << c.rect.Y << " " << c.rect.Width << "x" << c.rect.Height << " "
            << c.stride;
    }
    EXPECT_EQ(converter->CopyPixels(nullptr, 96, all, nullptr), E_INVALIDARG);

    // Two rows from the bottom quadrants at a padded stride: offsets, order BGR, padding untouched.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    const WICRect rect{4, 12, 24, 2};
    ASSERT_EQ(converter->CopyPixels(&rect, 200, 200 + 24 * 3, buffer.data()), S_OK);
    auto at = [&](int row, int column) {
        const BYTE* p = buffer.data() + row * 200 + column * 3;
        return Rgb{p[2], p[1], p[0]};
    };
    EXPECT_TRUE(ColorsNear(at(0, 2), kBottomLeftColor, 24));
    EXPECT_TRUE(ColorsNear(at(1, 21), kBottomRightColor, 24));
    EXPECT_EQ(buffer[24 * 3], 0xEE);
}

TEST_F(StandinTest, ConverterRefusesWhatItCannotDo) {
    RecordingSource source(MakeQuadrantPicture(8, 8));
    ComOwner<IWICFormatConverter> converter;
    ASSERT_EQ(factory()->CreateFormatConverter(converter.put()), S_OK);
    BYTE buffer[8 * 8 * 3];
    EXPECT_EQ(converter->CopyPixels(nullptr, 24, sizeof buffer, buffer),
              WINCODEC_ERR_NOTINITIALIZED);
    for (const GUID& format : {GUID_WICPixelFormat24bppRGB, GUID_WICPixelFormat24bppBGR}) {
        const HRESULT expected =
            format == GUID_WICPixelFormat24bppBGR ? S_OK : WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        EXPECT_EQ(converter->Initialize(&source, format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                        WICBitmapPaletteTypeCustom),
                  expected);
    }
    EXPECT_EQ(converter->Initialize(&source, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                    nullptr, 0.0, WICBitmapPaletteTypeCustom),
              WINCODEC_ERR_WRONGSTATE);
}

// ---- encoding ----------------------------------------------------------------------------------

TEST_F(StandinTest, JpegRoundTripKeepsPixelsAndWritesBaseline420WithTheDensity) {
    const TestPicture picture = MakeQuadrantPicture(64, 48);
    WriteJpegFile(folder_ / L"in.jpg", picture, 95, {1, 300, 150});
    struct Case {
        const char* name;
        EncodeSettings settings;
        JpegDensity written;
    };
    const Case cases[] = {
        {"resolution set", {.setResolution = true, .dpiX = 300.0, .dpiY = 150.0}, {1, 300, 150}},
        {"fractional resolution rounds",
         {.setResolution = true, .dpiX = 254.4, .dpiY = 71.6},
         {1, 254, 72}},
        {"no resolution set", {}, {1, 96, 96}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Convert(folder_ / L"in.jpg", folder_ / L"out.jpg", c.settings), S_OK);
        const JpegFileInfo out = ReadJpegFile(folder_ / L"out.jpg");
        EXPECT_TRUE(SamePattern(out.picture, picture));
        EXPECT_TRUE(out.hasJfif);
        EXPECT_EQ(out.density.unit, c.written.unit);
        EXPECT_EQ(out.density.x, c.written.x);
        EXPECT_EQ(out.density.y, c.written.y);
        EXPECT_FALSE(out.progressive);
        EXPECT_EQ(out.components, 3);
        EXPECT_EQ(out.lumaSamplingH, 2);
        EXPECT_EQ(out.lumaSamplingV, 2);
    }
}

// ImageQuality q is libjpeg quality round(q * 100): the tables match libjpeg's own at that quality.
TEST_F(StandinTest, ImageQualityBecomesLibjpegQuality) {
    const TestPicture picture = MakeNoisyPicture(64, 64);
    RecordingSource source(picture);
    std::map<int, std::size_t> sizes;
    for (const auto& [quality, percent] :
         {std::pair{0.92f, 92}, std::pair{0.5f, 50}, std::pair{1.0f, 100}, std::pair{0.3f, 30},
          std::pair{0.95f, 95}}) {
        SCOPED_TRACE(percent);
        ASSERT_EQ(Encode(&source, folder_ / L"out.jpg", {.quality = quality}), S_OK);
        WriteJpegFile(folder_ / L"reference.jpg", picture, percent);
        EXPECT_EQ(ReadJpegFile(folder_ / L"out.jpg").lumaQuantTable,
                  ReadJpegFile(folder_ / L"reference.jpg").lumaQuantTable);
        sizes[percent] = ReadTestFile(folder_ / L"out.jpg").size();
    }
    EXPECT_LT(sizes[30], sizes[50]);
    EXPECT_LT(sizes[50], sizes[92]);
    EXPECT_LT(sizes[92], sizes[100]);
}

TEST_F(StandinTest, EncoderOptionsTakeOnlyImageQualityInRange) {
    ComOwner<IWICBitmapEncoder> encoder;
    ASSERT_EQ(factory()->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put()), S_OK);
    EXPECT_EQ(factory()->CreateEncoder(GUID_ContainerFormatHeif, nullptr,
                                       ComOwner<IWICBitmapEncoder>().put()),
              WINCODEC_ERR_COMPONENTNOTFOUND);
    ComOwner<IWICStream> stream;
    ASSERT_EQ(factory()->CreateStream(stream.put()), S_OK);
    ASSERT_EQ(stream->InitializeFromFilename((folder_ / L"out.jpg").c_str(), GENERIC_WRITE), S_OK);
    ASSERT_EQ(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), S_OK);
    ComOwner<IWICBitmapFrameEncode> frame;
    ComOwner<IPropertyBag2> options;
    ASSERT_EQ(encoder->CreateNewFrame(frame.put(), options.put()), S_OK);
    struct Case {
        const wchar_t* property;
        VARTYPE type;
        double value;
        HRESULT expected;
    };
    const Case cases[] = {
        {L"ImageQuality", VT_R4, 0.25, S_OK},
        {L"ImageQuality", VT_R4, 1.0, S_OK},
        {L"ImageQuality", VT_R4, 0.0, S_OK},
        {L"ImageQuality", VT_R4, 1.01, E_INVALIDARG},
        {L"ImageQuality", VT_R4, -0.01, E_INVALIDARG},
        {L"ImageQuality", VT_R4, std::numeric_limits<double>::quiet_NaN(), E_INVALIDARG},
        {L"ImageQuality", VT_R8, 0.5, WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE},
        {L"Quality", VT_R4, 0.5, WINCODEC_ERR_PROPERTYNOTFOUND},
        {nullptr, VT_R4, 0.5, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(WriteOption(options.get(), c.property, c.type, c.value)), Hex(c.expected))
            << c.type << " " << c.value;
    }
    // Once the frame has read its options, they are fixed.
    ASSERT_EQ(frame->Initialize(options.get()), S_OK);
    EXPECT_EQ(WriteOption(options.get(), L"ImageQuality", VT_R4, 0.5), WINCODEC_ERR_WRONGSTATE);
}

// The encoder pulls the source in strips, top to bottom, each row once, never all at once.
TEST_F(StandinTest, WriteSourcePullsRowsInStrips) {
    const TestPicture picture = MakeQuadrantPicture(40, 300);
    RecordingSource source(picture);
    ASSERT_EQ(Encode(&source, folder_ / L"out.jpg", {}), S_OK);
    int nextRow = 0;
    for (const WICRect& rect : source.requests()) {
        EXPECT_EQ(rect.X, 0);
        EXPECT_EQ(rect.Width, 40);
        EXPECT_EQ(rect.Y, nextRow);
        EXPECT_LT(rect.Height, 300 / 4) << "a strip, not the image";
        nextRow = rect.Y + rect.Height;
    }
    EXPECT_EQ(nextRow, 300);
    EXPECT_TRUE(SamePattern(ReadJpegFile(folder_ / L"out.jpg").picture, picture));
}

// The encoder's buffers pass from one photo to the next: what a source leaves unwritten is black,
// as in a new buffer, and never shows the photo before.
TEST_F(StandinTest, NoPixelOfOnePhotoReachesTheNext) {
    RecordingSource first(MakeQuadrantPicture(64, 48));
    ASSERT_EQ(Encode(&first, folder_ / L"first.jpg", {}), S_OK);
    RecordingSource second(MakeQuadrantPicture(32, 16));
    second.LeaveRowsUnwritten();
    ASSERT_EQ(Encode(&second, folder_ / L"second.jpg", {}), S_OK);
    const TestPicture written = ReadJpegFile(folder_ / L"second.jpg").picture;
    int coloured = 0;
    for (int y = 0; y < written.height; ++y) {
        for (int x = 0; x < written.width; ++x) coloured += !ColorsNear(written.At(x, y), {}, 8);
    }
    EXPECT_EQ(coloured, 0) << "pixels of the first photo in the second";
}

// Calls out of WIC's order, each on a fresh chain prepared up to the stage named.
TEST_F(StandinTest, EncoderCallsOutOfOrderAreRefused) {
    RecordingSource source(MakeQuadrantPicture(16, 16));
    struct Chain {
        ComOwner<IWICStream> stream;
        ComOwner<IWICBitmapEncoder> encoder;
        ComOwner<IWICBitmapFrameEncode> frame;
        HRESULT Write(IWICBitmapSource* source, INT y, INT width, INT height) {
            WICRect rect{0, y, width, height};
            return frame->WriteSource(source, &rect);
        }
    };
    enum Stage { kCreated, kFrameCreated, kFrameReady, kHalfWritten, kCommitted };
    struct Case {
        const char* name;
        Stage stage;
        std::function<HRESULT(Chain&)> call;
        HRESULT expected;
    };
    const Case cases[] = {
        {"frame before Initialize", kCreated,
         [](Chain& c) { return c.encoder->CreateNewFrame(c.frame.put(), nullptr); },
         WINCODEC_ERR_NOTINITIALIZED},
        {"second frame", kFrameCreated,
         [](Chain& c) {
             return c.encoder->CreateNewFrame(ComOwner<IWICBitmapFrameEncode>().put(), nullptr);
         },
         WINCODEC_ERR_WRONGSTATE},
        {"pixels before frame Initialize", kFrameCreated,
         [&](Chain& c) { return c.Write(&source, 0, 16, 8); }, WINCODEC_ERR_NOTINITIALIZED},
        {"frame Commit before pixels", kFrameReady, [](Chain& c) { return c.frame->Commit(); },
         WINCODEC_ERR_WRONGSTATE},
        {"narrower than the frame", kFrameReady,
         [&](Chain& c) { return c.Write(&source, 0, 8, 4); },
         WINCODEC_ERR_SOURCERECTDOESNOTMATCHDIMENSIONS},
        {"outside the source", kFrameReady, [&](Chain& c) { return c.Write(&source, 8, 16, 16); },
         E_INVALIDARG},
        {"zero resolution", kFrameReady, [](Chain& c) { return c.frame->SetResolution(0, 96); },
         E_INVALIDARG},
        {"SetSize after pixels", kHalfWritten, [](Chain& c) { return c.frame->SetSize(8, 8); },
         WINCODEC_ERR_WRONGSTATE},
        {"more rows than the size", kHalfWritten,
         [&](Chain& c) { return c.Write(&source, 0, 16, 16); }, WINCODEC_ERR_CODECTOOMANYSCANLINES},
        {"frame Commit with rows missing", kHalfWritten, [](Chain& c) { return c.frame->Commit(); },
         WINCODEC_ERR_WRONGSTATE},
        {"encoder Commit before the frame's", kHalfWritten,
         [](Chain& c) { return c.encoder->Commit(); }, WINCODEC_ERR_WRONGSTATE},
        {"stream opened again after the commit", kCommitted,
         [this](Chain& c) {
             return c.stream->InitializeFromFilename((folder_ / L"again.jpg").c_str(),
                                                     GENERIC_WRITE);
         },
         WINCODEC_ERR_WRONGSTATE},
        {"stream given another after the commit", kCommitted,
         [](Chain& c) { return c.stream->InitializeFromIStream(c.stream.get()); },
         WINCODEC_ERR_WRONGSTATE},
    };
    for (const Case& c : cases) {
        Chain chain;
        ASSERT_EQ(factory()->CreateStream(chain.stream.put()), S_OK);
        ASSERT_EQ(
            chain.stream->InitializeFromFilename((folder_ / L"out.jpg").c_str(), GENERIC_WRITE),
            S_OK);
        ASSERT_EQ(factory()->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, chain.encoder.put()),
                  S_OK);
        if (c.stage >= kFrameCreated) {
            ASSERT_EQ(chain.encoder->Initialize(chain.stream.get(), WICBitmapEncoderNoCache), S_OK);
            ASSERT_EQ(chain.encoder->CreateNewFrame(chain.frame.put(), nullptr), S_OK);
        }
        if (c.stage >= kFrameReady) {
            ASSERT_EQ(chain.frame->Initialize(nullptr), S_OK);
            ASSERT_EQ(chain.frame->SetSize(16, 16), S_OK);
        }
        if (c.stage >= kHalfWritten) {
            ASSERT_EQ(chain.Write(&source, 0, 16, 8), S_OK);
        }
        if (c.stage >= kCommitted) {
            ASSERT_EQ(chain.Write(&source, 8, 16, 8), S_OK);
            ASSERT_EQ(chain.frame->Commit(), S_OK);
            ASSERT_EQ(chain.encoder->Commit(), S_OK);
        }
        EXPECT_EQ(Hex(c.call(chain)), Hex(c.expected)) << c.name;
    }
}

// ---- the output stream -------------------------------------------------------------------------

int OpenDescriptorsFor(const std::wstring& path) {
    const std::string target = NativePath(path).string();
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (dirent* entry = readdir(fds)) {
        char link[4096] = {};
        const std::string name = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(name.c_str(), link, sizeof link - 1);
        if (length > 0 && target == std::string(link, static_cast<std::size_t>(length))) ++count;
    }
    closedir(fds);
    return count;
}

TEST_F(StandinTest, StreamCreatesOrEmptiesItsFileAndHoldsItOpen) {
    MakeTestFolder(folder_ / L"sub");
    WriteTestFile(folder_ / L"sub/old.jpg", "previous content");
    MakeTestFolder(folder_ / L"taken.jpg");
    struct Case {
        std::wstring path;       // as given to the stream
        std::wstring createdAt;  // where the file must appear
        HRESULT expected;
    };
    const Case cases[] = {
        {folder_ / L"new.jpg", folder_ / L"new.jpg", S_OK},
        {folder_ / L"sub/old.jpg", folder_ / L"sub/old.jpg", S_OK},
        {folder_.path() + L"\\sub\\back.jpg", folder_ / L"sub/back.jpg", S_OK},
        {folder_ / L"missing/x.jpg", L"", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
        {folder_ / L"taken.jpg", L"", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.path));
        ComOwner<IWICStream> stream;
        ASSERT_EQ(factory()->CreateStream(stream.put()), S_OK);
        ASSERT_EQ(Hex(stream->InitializeFromFilename(c.path.c_str(), GENERIC_WRITE)),
                  Hex(c.expected));
        if (FAILED(c.expected)) continue;
        EXPECT_EQ(ReadTestFile(c.createdAt), "");
        EXPECT_EQ(OpenDescriptorsFor(c.createdAt), 1);
        EXPECT_EQ(stream->InitializeFromFilename(c.path.c_str(), GENERIC_WRITE),
                  WINCODEC_ERR_WRONGSTATE);
        stream.reset();
        EXPECT_EQ(OpenDescriptorsFor(c.createdAt), 0);
    }
    ComOwner<IWICStream> reader;
    ASSERT_EQ(factory()->CreateStream(reader.put()), S_OK);
    EXPECT_EQ(reader->InitializeFromFilename((folder_ / L"r.jpg").c_str(), GENERIC_READ),
              E_INVALIDARG);
}

// Failures while writing come back as HRESULTs: a full disk, and a source failing mid-way.
TEST_F(StandinTest, WriteFailuresComeBackAsHresults) {
    ASSERT_EQ(access("/dev/full", W_OK), 0) << "/dev/full is needed to show a full disk";
    RecordingSource source(MakeNoisyPicture(256, 256));
    EXPECT_EQ(Hex(Encode(&source, L"/dev/full", {})), Hex(HRESULT_FROM_WIN32(ERROR_DISK_FULL)));

    RecordingSource failing(MakeNoisyPicture(64, 64));
    failing.FailFromRow(40, WINCODEC_ERR_BADIMAGE);
    EXPECT_EQ(Hex(Encode(&failing, folder_ / L"out.jpg", {})), Hex(WINCODEC_ERR_BADIMAGE));
}

}  // namespace

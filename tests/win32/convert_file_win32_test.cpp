// Conversions through the real Windows Imaging Component (Wine's when the tests run under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "convert/convert_file.h"
#include "convert/failure_messages.h"
#include "convert/path_rules.h"
#include "platform/com_owner.h"
#include "platform/win32/file_system_seams.h"
#include "tests/support/test_files.h"
#include "tests/win32/file_system_win32_support.h"

namespace {

// ---- A PNG written by hand: stored (uncompressed) zlib blocks need no compressor. -------------

std::uint32_t Crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

void PutBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

void PutChunk(std::string& png, const char* type, const std::string& data) {
    PutBigEndian(png, static_cast<std::uint32_t>(data.size()));
    const std::string typed = std::string(type) + data;
    png += typed;
    PutBigEndian(png, Crc32(typed));
}

struct Color {
    unsigned char r, g, b;
};

// An 8-bit RGB PNG: the left half `left`, the right half `right`.
std::string TwoColorPng(int width, int height, Color left, Color right) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < width; ++x) {
            const Color c = x < width / 2 ? left : right;
            raw += {static_cast<char>(c.r), static_cast<char>(c.g), static_cast<char>(c.b)};
        }
    }
    std::string zlib = "\x78\x01";
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - at);
        zlib.push_back(at + length >= raw.size() ? 1 : 0);
        zlib += {static_cast<char>(length & 0xFF), static_cast<char>(length >> 8),
                 static_cast<char>(~length & 0xFF), static_cast<char>((~length >> 8) & 0xFF)};
        zlib += raw.substr(at, length);
    }
    std::uint32_t a = 1, b = 0;
    for (const unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBigEndian(zlib, (b << 16) | a);

    std::string header;
    PutBigEndian(header, static_cast<std::uint32_t>(width));
    PutBigEndian(header, static_cast<std::uint32_t>(height));
    header += {8, 2, 0, 0, 0};  // 8 bits, RGB, deflate, standard filters, no interlace

    std::string png = "\x89PNG\r\n\x1a\n";
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", "");
    return png;
}

// ---- Reading a JPEG back through WIC -----------------------------------------------------------

struct Decoded {
    UINT width = 0;
    UINT height = 0;
    std::vector<BYTE> bgr;
    Color At(UINT x, UINT y) const {
        const BYTE* p = &bgr[(y * width + x) * 3];
        return {p[2], p[1], p[0]};
    }
};

::testing::AssertionResult Near(Color actual, Color expected) {
    const auto off = [](int a, int b) { return a > b ? a - b : b - a; };
    if (off(actual.r, expected.r) <= 40 && off(actual.g, expected.g) <= 40 &&
        off(actual.b, expected.b) <= 40) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "got " << int(actual.r) << "," << int(actual.g) << "," << int(actual.b);
}

class RealWic : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
        initialized_ = true;
        ASSERT_GE(
            CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IWICImagingFactory, reinterpret_cast<void**>(factory_.put())),
            0);
    }
    void TearDown() override {
        factory_.reset();
        if (initialized_) CoUninitialize();
    }

    Decoded ReadBack(const std::wstring& path) {
        Decoded decoded;
        ComOwner<IWICBitmapDecoder> decoder;
        ComOwner<IWICBitmapFrameDecode> frame;
        ComOwner<IWICFormatConverter> converter;
        EXPECT_GE(
            factory_->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, decoder.put()),
            0);
        if (!decoder || decoder->GetFrame(0, frame.put()) < 0) return decoded;
        if (factory_->CreateFormatConverter(converter.put()) < 0) return decoded;
        if (converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                  nullptr, 0.0, WICBitmapPaletteTypeCustom) < 0) {
            return decoded;
        }
        converter->GetSize(&decoded.width, &decoded.height);
        decoded.bgr.resize(decoded.width * decoded.height * 3);
        EXPECT_GE(converter->CopyPixels(nullptr, decoded.width * 3,
                                        static_cast<UINT>(decoded.bgr.size()), decoded.bgr.data()),
                  0);
        return decoded;
    }

    TempFolder folder_;
    ComOwner<IWICImagingFactory> factory_;

  private:
    bool initialized_ = false;
};

constexpr Color kRed{230, 20, 20};
constexpr Color kBlue{20, 20, 230};

TEST_F(RealWic, AnyPictureWicReadsConvertsWithSelfTest) {
    const std::wstring input = folder_ / L"picture.png";
    WriteTestFile(input, TwoColorPng(32, 16, kRed, kBlue));
    ConversionOptions options;
    options.selfTest = true;
    const ConversionResult result = ConvertFile(factory_.get(), input, options);

    ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
    EXPECT_EQ(result.hresult, S_OK);
    EXPECT_TRUE(result.message.empty());
    EXPECT_EQ(result.outputPath, folder_ / L"picture.jpg");
    const Decoded jpeg = ReadBack(result.outputPath);
    ASSERT_EQ(jpeg.width, 32u);
    ASSERT_EQ(jpeg.height, 16u);
    EXPECT_TRUE(Near(jpeg.At(4, 8), kRed));
    EXPECT_TRUE(Near(jpeg.At(27, 8), kBlue));
}

TEST_F(RealWic, WithoutAHeifCodecTheUserIsToldToInstallIt) {
    // A Windows with the HEIF image extension (not Wine, not a CI runner) reads the file instead.
    ComOwner<IWICBitmapDecoder> heif;
    if (factory_->CreateDecoder(GUID_ContainerFormatHeif, nullptr, heif.put()) >= 0) {
        GTEST_SKIP() << "this Windows has a HEIF decoder";
    }
    const std::wstring input = folder_ / L"IMG_0001.HEIC";
    WriteTestFile(input, std::string("\0\0\0\x18"
                                     "ftypheic\0\0\0\0mif1heic",
                                     24));
    const ConversionResult result = ConvertFile(factory_.get(), input, ConversionOptions{});

    EXPECT_FALSE(result.succeeded);
    const auto code = static_cast<std::uint32_t>(result.hresult);
    EXPECT_TRUE(code == 0x88982F50u || code == 0x88982F07u || code == 0x80040154u)
        << std::hex << code;
    EXPECT_EQ(result.message,
              L"HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEIF 이미지 확장이 설치되어 있는지 "
              L"확인하세요.");
    EXPECT_EQ(result.outputPath, folder_ / L"IMG_0001.jpg");
    EXPECT_FALSE(TestEntryExists(result.outputPath));
}

// Names ignore case here: X.JPG is its own plain output X.jpg, and overwriting must not destroy it.
TEST_F(RealWic, AJpegInputIsNeverOverwrittenByItsOwnConversion) {
    const std::wstring png = folder_ / L"picture.png";
    WriteTestFile(png, TwoColorPng(32, 16, kRed, kBlue));
    ConversionOptions options;
    options.selfTest = true;
    const ConversionResult first = ConvertFile(factory_.get(), png, options);
    ASSERT_TRUE(first.succeeded);
    const std::wstring input = folder_ / L"X.JPG";
    const std::string original = ReadTestFile(first.outputPath);
    WriteTestFile(input, original);

    options.overwrite = true;
    const ConversionResult result = ConvertFile(factory_.get(), input, options);
    ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
    EXPECT_EQ(result.outputPath, folder_ / L"X (1).jpg");
    EXPECT_EQ(ReadTestFile(input), original);
    EXPECT_EQ(ReadBack(result.outputPath).width, 32u);
}

// ---- The real factory, wrapped so that a late call of the encoding can be made to fail --------

int liveWrappers = 0;

template <typename Interface>
class Wrapper : public Interface {
  public:
    Wrapper(Interface* real, const IID& iid) : real_(real), iid_(iid) { ++liveWrappers; }
    virtual ~Wrapper() { --liveWrappers; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_)) {
            AddRef();
            *object = this;
            return S_OK;
        }
        return real_->QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

  protected:
    ComOwner<Interface> real_;

  private:
    const IID& iid_;
    ULONG references_ = 1;
};

enum class LateCall { none, writeSource, commitFrame, commitEncoder };
constexpr HRESULT kLateFailure = static_cast<HRESULT>(0x88982F71u);  // WINCODEC_ERR_STREAMWRITE

// What the failing call saw of the output file, which the stream holds open at that moment.
struct AtFailure {
    std::wstring outputPath;
    bool fileExisted = false;
    DWORD deleteError = 0;
};

void LookAtHeldFile(AtFailure& seen) {
    seen.fileExisted = TestEntryExists(seen.outputPath);
    if (DeleteFileW(seen.outputPath.c_str())) return;  // deleted: deleteError stays 0
    seen.deleteError = GetLastError();
}

class FailingFrame : public Wrapper<IWICBitmapFrameEncode> {
  public:
    FailingFrame(IWICBitmapFrameEncode* real, LateCall late, AtFailure& seen)
        : Wrapper(real, IID_IWICBitmapFrameEncode), late_(late), seen_(seen) {}

    HRESULT STDMETHODCALLTYPE Initialize(IPropertyBag2* options) override {
        return real_->Initialize(options);
    }
    HRESULT STDMETHODCALLTYPE SetSize(UINT width, UINT height) override {
        return real_->SetSize(width, height);
    }
    HRESULT STDMETHODCALLTYPE SetResolution(double dpiX, double dpiY) override {
        return real_->SetResolution(dpiX, dpiY);
    }
    HRESULT STDMETHODCALLTYPE SetPixelFormat(WICPixelFormatGUID* format) override {
        return real_->SetPixelFormat(format);
    }
    HRESULT STDMETHODCALLTYPE SetColorContexts(UINT count, IWICColorContext** contexts) override {
        return real_->SetColorContexts(count, contexts);
    }
    HRESULT STDMETHODCALLTYPE SetPalette(IWICPalette* palette) override {
        return real_->SetPalette(palette);
    }
    HRESULT STDMETHODCALLTYPE SetThumbnail(IWICBitmapSource* thumbnail) override {
        return real_->SetThumbnail(thumbnail);
    }
    HRESULT STDMETHODCALLTYPE WritePixels(UINT lines, UINT stride, UINT size,
                                          BYTE* pixels) override {
        return real_->WritePixels(lines, stride, size, pixels);
    }
    HRESULT STDMETHODCALLTYPE WriteSource(IWICBitmapSource* source, WICRect* rect) override {
        if (late_ == LateCall::writeSource) return Fail();
        return real_->WriteSource(source, rect);
    }
    HRESULT STDMETHODCALLTYPE Commit() override {
        if (late_ == LateCall::commitFrame) return Fail();
        return real_->Commit();
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryWriter(IWICMetadataQueryWriter** writer) override {
        return real_->GetMetadataQueryWriter(writer);
    }

  private:
    HRESULT Fail() {
        LookAtHeldFile(seen_);
        return kLateFailure;
    }
    LateCall late_;
    AtFailure& seen_;
};

class FailingEncoder : public Wrapper<IWICBitmapEncoder> {
  public:
    FailingEncoder(IWICBitmapEncoder* real, LateCall late, AtFailure& seen)
        : Wrapper(real, IID_IWICBitmapEncoder), late_(late), seen_(seen) {}

    HRESULT STDMETHODCALLTYPE Initialize(IStream* stream,
                                         WICBitmapEncoderCacheOption cache) override {
        return real_->Initialize(stream, cache);
    }
    HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
        return real_->GetContainerFormat(format);
    }
    HRESULT STDMETHODCALLTYPE GetEncoderInfo(IWICBitmapEncoderInfo** info) override {
        return real_->GetEncoderInfo(info);
    }
    HRESULT STDMETHODCALLTYPE SetColorContexts(UINT count, IWICColorContext** contexts) override {
        return real_->SetColorContexts(count, contexts);
    }
    HRESULT STDMETHODCALLTYPE SetPalette(IWICPalette* palette) override {
        return real_->SetPalette(palette);
    }
    HRESULT STDMETHODCALLTYPE SetThumbnail(IWICBitmapSource* thumbnail) override {
        return real_->SetThumbnail(thumbnail);
    }
    HRESULT STDMETHODCALLTYPE SetPreview(IWICBitmapSource* preview) override {
        return real_->SetPreview(preview);
    }
    HRESULT STDMETHODCALLTYPE CreateNewFrame(IWICBitmapFrameEncode** frame,
                                             IPropertyBag2** options) override {
        IWICBitmapFrameEncode* real = nullptr;
        const HRESULT hr = real_->CreateNewFrame(&real, options);
        *frame = SUCCEEDED(hr) ? new FailingFrame(real, late_, seen_) : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Commit() override {
        if (late_ == LateCall::commitEncoder) {
            LookAtHeldFile(seen_);
            return kLateFailure;
        }
        return real_->Commit();
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryWriter(IWICMetadataQueryWriter** writer) override {
        return real_->GetMetadataQueryWriter(writer);
    }

  private:
    LateCall late_;
    AtFailure& seen_;
};

class WrappedFactory : public Wrapper<IWICImagingFactory> {
  public:
    WrappedFactory(IWICImagingFactory* real, LateCall late, AtFailure& seen)
        : Wrapper(real, IID_IWICImagingFactory), late_(late), seen_(seen) {
        real->AddRef();  // borrowed from the test, which keeps its own reference
    }

    // Runs after the output name was chosen and before it is claimed.
    std::function<void()> whileCreatingStream;

    HRESULT STDMETHODCALLTYPE CreateEncoder(REFGUID container, const GUID* vendor,
                                            IWICBitmapEncoder** encoder) override {
        IWICBitmapEncoder* real = nullptr;
        const HRESULT hr = real_->CreateEncoder(container, vendor, &real);
        *encoder = SUCCEEDED(hr) ? new FailingEncoder(real, late_, seen_) : nullptr;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE CreateDecoderFromFilename(LPCWSTR name, const GUID* vendor,
                                                        DWORD access, WICDecodeOptions options,
                                                        IWICBitmapDecoder** decoder) override {
        return real_->CreateDecoderFromFilename(name, vendor, access, options, decoder);
    }
    HRESULT STDMETHODCALLTYPE CreateDecoderFromStream(IStream* stream, const GUID* vendor,
                                                      WICDecodeOptions options,
                                                      IWICBitmapDecoder** decoder) override {
        return real_->CreateDecoderFromStream(stream, vendor, options, decoder);
    }
    HRESULT STDMETHODCALLTYPE CreateDecoderFromFileHandle(ULONG_PTR file, const GUID* vendor,
                                                          WICDecodeOptions options,
                                                          IWICBitmapDecoder** decoder) override {
        return real_->CreateDecoderFromFileHandle(file, vendor, options, decoder);
    }
    HRESULT STDMETHODCALLTYPE CreateComponentInfo(REFCLSID component,
                                                  IWICComponentInfo** info) override {
        return real_->CreateComponentInfo(component, info);
    }
    HRESULT STDMETHODCALLTYPE CreateDecoder(REFGUID container, const GUID* vendor,
                                            IWICBitmapDecoder** decoder) override {
        return real_->CreateDecoder(container, vendor, decoder);
    }
    HRESULT STDMETHODCALLTYPE CreatePalette(IWICPalette** palette) override {
        return real_->CreatePalette(palette);
    }
    HRESULT STDMETHODCALLTYPE CreateFormatConverter(IWICFormatConverter** converter) override {
        return real_->CreateFormatConverter(converter);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapScaler(IWICBitmapScaler** scaler) override {
        return real_->CreateBitmapScaler(scaler);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapClipper(IWICBitmapClipper** clipper) override {
        return real_->CreateBitmapClipper(clipper);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFlipRotator(IWICBitmapFlipRotator** rotator) override {
        return real_->CreateBitmapFlipRotator(rotator);
    }
    HRESULT STDMETHODCALLTYPE CreateStream(IWICStream** stream) override {
        if (whileCreatingStream) whileCreatingStream();
        return real_->CreateStream(stream);
    }
    HRESULT STDMETHODCALLTYPE CreateColorContext(IWICColorContext** context) override {
        return real_->CreateColorContext(context);
    }
    HRESULT STDMETHODCALLTYPE CreateColorTransformer(IWICColorTransform** transform) override {
        return real_->CreateColorTransformer(transform);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmap(UINT width, UINT height, REFWICPixelFormatGUID format,
                                           WICBitmapCreateCacheOption option,
                                           IWICBitmap** bitmap) override {
        return real_->CreateBitmap(width, height, format, option, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFromSource(IWICBitmapSource* source,
                                                     WICBitmapCreateCacheOption option,
                                                     IWICBitmap** bitmap) override {
        return real_->CreateBitmapFromSource(source, option, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFromSourceRect(IWICBitmapSource* source, UINT x, UINT y,
                                                         UINT width, UINT height,
                                                         IWICBitmap** bitmap) override {
        return real_->CreateBitmapFromSourceRect(source, x, y, width, height, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFromMemory(UINT width, UINT height,
                                                     REFWICPixelFormatGUID format, UINT stride,
                                                     UINT size, BYTE* buffer,
                                                     IWICBitmap** bitmap) override {
        return real_->CreateBitmapFromMemory(width, height, format, stride, size, buffer, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFromHBITMAP(HBITMAP bitmapHandle, HPALETTE palette,
                                                      WICBitmapAlphaChannelOption options,
                                                      IWICBitmap** bitmap) override {
        return real_->CreateBitmapFromHBITMAP(bitmapHandle, palette, options, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateBitmapFromHICON(HICON icon, IWICBitmap** bitmap) override {
        return real_->CreateBitmapFromHICON(icon, bitmap);
    }
    HRESULT STDMETHODCALLTYPE CreateComponentEnumerator(DWORD types, DWORD options,
                                                        IEnumUnknown** enumerator) override {
        return real_->CreateComponentEnumerator(types, options, enumerator);
    }
    HRESULT STDMETHODCALLTYPE CreateFastMetadataEncoderFromDecoder(
        IWICBitmapDecoder* decoder, IWICFastMetadataEncoder** encoder) override {
        return real_->CreateFastMetadataEncoderFromDecoder(decoder, encoder);
    }
    HRESULT STDMETHODCALLTYPE CreateFastMetadataEncoderFromFrameDecode(
        IWICBitmapFrameDecode* frame, IWICFastMetadataEncoder** encoder) override {
        return real_->CreateFastMetadataEncoderFromFrameDecode(frame, encoder);
    }
    HRESULT STDMETHODCALLTYPE CreateQueryWriter(REFGUID format, const GUID* vendor,
                                                IWICMetadataQueryWriter** writer) override {
        return real_->CreateQueryWriter(format, vendor, writer);
    }
    HRESULT STDMETHODCALLTYPE
    CreateQueryWriterFromReader(IWICMetadataQueryReader* reader, const GUID* vendor,
                                IWICMetadataQueryWriter** writer) override {
        return real_->CreateQueryWriterFromReader(reader, vendor, writer);
    }

  private:
    LateCall late_;
    AtFailure& seen_;
};

// The stream keeps the half-written JPEG open without delete sharing; only once it and the
// encoders are released can the failed output be deleted.
TEST_F(RealWic, AFailureLateInTheEncodingLeavesNoFileBehind) {
    struct Case {
        const char* label;
        LateCall late;
    };
    const Case cases[] = {
        {"WriteSource", LateCall::writeSource},
        {"frame Commit", LateCall::commitFrame},
        {"encoder Commit", LateCall::commitEncoder},
        {"nothing fails", LateCall::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring input = folder / L"picture.png";
        WriteTestFile(input, TwoColorPng(32, 16, kRed, kBlue));
        AtFailure seen;
        seen.outputPath = folder / L"picture.jpg";
        ConversionOptions options;
        options.selfTest = true;

        WrappedFactory* wrapped = new WrappedFactory(factory_.get(), c.late, seen);
        const ConversionResult result = ConvertFile(wrapped, input, options);
        wrapped->Release();
        EXPECT_EQ(liveWrappers, 0);
        EXPECT_EQ(result.outputPath, seen.outputPath);

        if (c.late == LateCall::none) {
            EXPECT_TRUE(result.succeeded);
            EXPECT_TRUE(TestEntryExists(result.outputPath));
            continue;
        }
        // While the stream held it, the file was there and could not be deleted.
        EXPECT_TRUE(seen.fileExisted);
        EXPECT_EQ(seen.deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.hresult, kLateFailure);
        EXPECT_EQ(result.message, FormatFailureMessage(kLateFailure));
        EXPECT_FALSE(TestEntryExists(result.outputPath));
    }
}

// An old JPEG that can be renamed but not deleted (where POSIX semantics are refused) fails the
// photo, whether it stood there before or came before the claim. When it cannot be moved back
// either, the failure names it in its usual form, even for a "\\?\" output folder.
TEST_F(RealWic, AnOldJpegLeftAsideIsNamedInThePhotosFailure) {
    if (PosixDeletionGranted(folder_, true)) {
        GTEST_SKIP() << "this file system deletes a program in use at once: nothing goes aside";
    }
    const std::tuple<bool, bool, const wchar_t*> cases[] = {
        {false, true, L""}, {false, false, L""}, {true, true, L""}, {false, true, L"\\\\?\\"}};
    for (const auto& [late, moveBackFails, prefix] : cases) {
        SCOPED_TRACE(testing::Message() << late << moveBackFails);
        TempFolder folder;
        const std::wstring input = folder / L"picture.png";
        const std::wstring old = folder / L"picture.jpg";
        WriteTestFile(input, TwoColorPng(32, 16, kRed, kBlue));
        std::unique_ptr<ImageInUse> inUse(late ? nullptr : new ImageInUse(old));
        ConversionOptions options;
        options.selfTest = options.overwrite = true;
        options.outputDir = prefix + folder.path();
        AtFailure seen;
        WrappedFactory* wrapped = new WrappedFactory(factory_.get(), LateCall::none, seen);
        wrapped->whileCreatingStream = [&] {
            if (late) inUse.reset(new ImageInUse(old));
        };
        ConversionResult result;
        {
            const SeamScope seam(host::seams::moveBack,
                                 moveBackFails ? &RefusedMove : host::seams::moveBack);
            result = ConvertFile(wrapped, input, options);
        }
        wrapped->Release();
        const std::vector<std::wstring> aside = AsideFiles(folder);

        EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), 0x80070003u);
        EXPECT_EQ(TestEntryExists(old), !moveBackFails);
        ASSERT_EQ(aside.size(), moveBackFails ? 1u : 0u);
        EXPECT_EQ(
            result.message,
            L"파일 경로를 읽거나 쓸 수 없습니다." +
                (moveBackFails ? L" 이전 JPEG 파일은 다음 위치로 옮겨졌습니다: " + aside[0] : L""));
        if (moveBackFails) MoveFileExW(aside[0].c_str(), old.c_str(), 0);
    }
}

// A name taken after the choice, by a file or a folder (another run converting into the same
// folder), is never opened: the JPEG goes to the next free name and the intruder stays as it was.
TEST_F(RealWic, ANameTakenAfterTheChoiceIsLeftAloneAndTheNextFreeOneWritten) {
    for (const bool byFolder : {false, true}) {
        SCOPED_TRACE(byFolder ? "folder" : "file");
        TempFolder folder;
        const std::wstring input = folder / L"picture.png";
        WriteTestFile(input, TwoColorPng(32, 16, kRed, kBlue));
        const std::wstring taken = folder / L"picture.jpg";
        AtFailure seen;
        ConversionOptions options;
        options.selfTest = true;

        WrappedFactory* wrapped = new WrappedFactory(factory_.get(), LateCall::none, seen);
        wrapped->whileCreatingStream = [&] {
            byFolder ? MakeTestFolder(taken) : WriteTestFile(taken, "someone else's");
        };
        const ConversionResult result = ConvertFile(wrapped, input, options);
        wrapped->Release();

        ASSERT_TRUE(result.succeeded) << testing::PrintToString(result.message);
        EXPECT_EQ(result.outputPath, folder / L"picture (1).jpg");
        EXPECT_EQ(ReadBack(result.outputPath).width, 32u);
        EXPECT_EQ(GetFileAttributesW(taken.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
                  byFolder ? static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY) : 0u);
        if (!byFolder) {
            EXPECT_EQ(ReadTestFile(taken), "someone else's");
        }
    }
}

}  // namespace

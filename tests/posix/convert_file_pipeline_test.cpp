// The conversion against a fake imaging component that can fail at any call: which code reaches
// the user, whether the output file remains, and whether every object is given back once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "convert/convert_file.h"
#include "convert/failure_messages.h"
#include "convert/file_system.h"
#include "platform/file_system_host.h"
#include "tests/support/test_files.h"

namespace {

// The calls of the chain, in the order the conversion makes them.
enum class Call {
    createDecoder,
    getFrame,
    createConverter,
    initializeConverter,
    createStream,
    openStream,
    createEncoder,
    initializeEncoder,
    createFrame,
    writeOptions,
    initializeFrame,
    getSize,
    setSize,
    setResolution,
    setPixelFormat,
    writeSource,
    commitFrame,
    commitEncoder,
};
constexpr int kCallCount = static_cast<int>(Call::commitEncoder) + 1;

// A distinct code per call, none of which the system describes.
HRESULT CodeOf(Call call) {
    return static_cast<HRESULT>(0x80AB0100u + static_cast<unsigned>(call));
}

// Our host reads "\" as a separator; the test's own file handling does not.
std::wstring HostPath(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

struct FakeLife {
    virtual ~FakeLife() = default;
};

// What the fakes are told to do, and what they saw.
struct Imaging {
    // Every call of the chain from this one on fails with its own code.
    std::optional<Call> failFrom;
    // The call that throws this instead of answering.
    std::optional<Call> throwAt;
    std::function<void()> thrower;
    HRESULT resolutionAnswer = S_OK;
    double dpiX = 72.0;
    double dpiY = 72.0;
    UINT width = 640;
    UINT height = 480;
    std::function<void()> whileOpeningInput;
    std::function<void()> afterClaim;

    bool reached[kCallCount] = {};
    bool resolutionAsked = false;
    int liveObjects = 0;
    int overReleases = 0;
    // Whether the output file still existed when the stream finally let go of it.
    std::optional<bool> fileAtStreamClose;

    std::wstring decodedPath;
    DWORD decodeAccess = 0;
    int decodeOptions = -1;
    IUnknown* frameDecode = nullptr;
    IUnknown* converterSource = nullptr;
    GUID converterFormat{};
    IUnknown* converter = nullptr;
    std::wstring folder;       // where the conversion writes
    std::wstring writtenPath;  // the file that the stream's bytes reached
    GUID container{};
    int cacheOption = -1;
    ULONG optionCount = 0;
    std::wstring optionName;
    bool optionOtherwiseZero = false;
    VARTYPE optionType = VT_EMPTY;
    float quality = -1.0f;
    std::optional<std::pair<UINT, UINT>> size;
    std::optional<std::pair<double, double>> resolution;
    GUID pixelFormat{};
    IUnknown* writeSourceFrom = nullptr;
    bool writeSourceRectNull = false;

    std::vector<std::unique_ptr<FakeLife>> objects;

    // Records the call; true when it is to fail.
    bool Fails(Call call) {
        reached[static_cast<int>(call)] = true;
        if (throwAt == call) thrower();
        return failFrom.has_value() && *failFrom <= call;
    }
    bool Reached(Call call) const { return reached[static_cast<int>(call)]; }
    bool ReachedAfter(Call call) const {
        for (int later = static_cast<int>(call) + 1; later < kCallCount; ++later) {
            if (reached[later]) return true;
        }
        return false;
    }

    template <typename Object, typename... Arguments>
    Object* Make(Arguments&&... arguments) {
        auto object = std::make_unique<Object>(*this, std::forward<Arguments>(arguments)...);
        Object* raw = object.get();
        objects.push_back(std::move(object));
        return raw;
    }
};

// Reference counting that notices a release too many. Objects live on in Imaging::objects after
// their last release, so that such a release is counted instead of touching freed memory.
template <typename Interface>
class Fake : public Interface, public FakeLife {
  public:
    explicit Fake(Imaging& imaging) : imaging_(imaging) { ++imaging_.liveObjects; }

    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        if (references_ == 0) {
            ++imaging_.overReleases;
            return 0;
        }
        if (--references_ == 0) {
            --imaging_.liveObjects;
            LastReleased();
        }
        return references_;
    }

  protected:
    virtual void LastReleased() {}
    Imaging& imaging_;

  private:
    ULONG references_ = 1;
};

template <typename Interface>
class FakeSource : public Fake<Interface> {
  public:
    using Fake<Interface>::Fake;
    HRESULT GetSize(UINT* width, UINT* height) override {
        if (this->imaging_.Fails(Call::getSize)) return CodeOf(Call::getSize);
        *width = this->imaging_.width;
        *height = this->imaging_.height;
        return S_OK;
    }
    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }
    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        this->imaging_.resolutionAsked = true;
        *dpiX = this->imaging_.dpiX;
        *dpiY = this->imaging_.dpiY;
        return this->imaging_.resolutionAnswer;
    }
    HRESULT CopyPixels(const WICRect*, UINT, UINT, BYTE*) override { return E_NOTIMPL; }
};

// Holds a reference on another fake for as long as it lives, as WIC's objects do.
template <typename Base>
class Holding : public Base {
  public:
    using Base::Base;

  protected:
    void Hold(IUnknown* other) {
        other->AddRef();
        held_.push_back(other);
    }
    void LastReleased() override {
        for (IUnknown* other : held_) other->Release();
        held_.clear();
    }

  private:
    std::vector<IUnknown*> held_;
};

class FakeFrameDecode : public Holding<FakeSource<IWICBitmapFrameDecode>> {
  public:
    FakeFrameDecode(Imaging& imaging, IUnknown* decoder) : Holding(imaging) { Hold(decoder); }
};

class FakeDecoder : public Fake<IWICBitmapDecoder> {
  public:
    using Fake::Fake;
    HRESULT GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (imaging_.Fails(Call::getFrame) || index != 0) return CodeOf(Call::getFrame);
        *frame = imaging_.Make<FakeFrameDecode>(this);
        imaging_.frameDecode = *frame;
        return S_OK;
    }
};

class FakeConverter : public Holding<FakeSource<IWICFormatConverter>> {
  public:
    using Holding::Holding;
    HRESULT Initialize(IWICBitmapSource* source, REFWICPixelFormatGUID format, WICBitmapDitherType,
                       IWICPalette*, double, WICBitmapPaletteType) override {
        imaging_.converterSource = source;
        imaging_.converterFormat = format;
        if (imaging_.Fails(Call::initializeConverter)) return CodeOf(Call::initializeConverter);
        Hold(source);
        return S_OK;
    }
};

// Writes its first bytes through the stream it is given, as WIC's does, and names the file of
// the folder that received them.
class FakeStream : public Holding<Fake<IWICStream>> {
  public:
    using Holding::Holding;
    HRESULT InitializeFromFilename(LPCWSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT InitializeFromIStream(IStream* stream) override {
        if (imaging_.afterClaim) imaging_.afterClaim();
        if (imaging_.Fails(Call::openStream)) return CodeOf(Call::openStream);
        Hold(stream);
        const std::string_view start = "the start of a JPEG";
        if (FAILED(stream->Write(start.data(), static_cast<ULONG>(start.size()), nullptr))) {
            return E_FAIL;
        }
        for (const auto& entry : std::filesystem::directory_iterator(NativePath(imaging_.folder))) {
            const std::wstring path = imaging_.folder + L"/" + entry.path().filename().wstring();
            if (entry.is_regular_file() && ReadTestFile(path) == start) {
                opened_ = path;
                imaging_.writtenPath = imaging_.folder + L"\\" + entry.path().filename().wstring();
            }
        }
        return S_OK;
    }
    HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }

  protected:
    void LastReleased() override {
        if (!opened_.empty()) imaging_.fileAtStreamClose = TestEntryExists(opened_);
        Holding::LastReleased();
    }

  private:
    std::wstring opened_;
};

class FakeOptions : public Fake<IPropertyBag2> {
  public:
    using Fake::Fake;
    HRESULT Write(ULONG count, PROPBAG2* properties, VARIANT* values) override {
        imaging_.optionCount = count;
        const PROPBAG2& option = properties[0];
        imaging_.optionName = option.pstrName != nullptr ? option.pstrName : L"(null)";
        imaging_.optionOtherwiseZero = option.dwType == 0 && option.vt == 0 && option.cfType == 0 &&
                                       option.dwHint == 0 && option.clsid == GUID{};
        imaging_.optionType = values[0].vt;
        imaging_.quality = values[0].fltVal;
        if (imaging_.Fails(Call::writeOptions)) return CodeOf(Call::writeOptions);
        return S_OK;
    }
};

class FakeFrameEncode : public Holding<Fake<IWICBitmapFrameEncode>> {
  public:
    FakeFrameEncode(Imaging& imaging, IUnknown* encoder) : Holding(imaging) { Hold(encoder); }
    HRESULT Initialize(IPropertyBag2*) override {
        return imaging_.Fails(Call::initializeFrame) ? CodeOf(Call::initializeFrame) : S_OK;
    }
    HRESULT SetSize(UINT width, UINT height) override {
        imaging_.size.emplace(width, height);
        return imaging_.Fails(Call::setSize) ? CodeOf(Call::setSize) : S_OK;
    }
    HRESULT SetResolution(double dpiX, double dpiY) override {
        imaging_.resolution.emplace(dpiX, dpiY);
        return imaging_.Fails(Call::setResolution) ? CodeOf(Call::setResolution) : S_OK;
    }
    HRESULT SetPixelFormat(WICPixelFormatGUID* format) override {
        imaging_.pixelFormat = *format;
        // An encoder may answer with the format it will really write.
        *format = GUID_WICPixelFormat24bppRGB;
        return imaging_.Fails(Call::setPixelFormat) ? CodeOf(Call::setPixelFormat) : S_OK;
    }
    HRESULT WriteSource(IWICBitmapSource* source, WICRect* rect) override {
        imaging_.writeSourceFrom = source;
        imaging_.writeSourceRectNull = rect == nullptr;
        return imaging_.Fails(Call::writeSource) ? CodeOf(Call::writeSource) : S_OK;
    }
    HRESULT Commit() override {
        return imaging_.Fails(Call::commitFrame) ? CodeOf(Call::commitFrame) : S_OK;
    }
};

class FakeEncoder : public Holding<Fake<IWICBitmapEncoder>> {
  public:
    using Holding::Holding;
    HRESULT Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) override {
        imaging_.cacheOption = cacheOption;
        if (imaging_.Fails(Call::initializeEncoder)) return CodeOf(Call::initializeEncoder);
        Hold(stream);
        return S_OK;
    }
    HRESULT CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** options) override {
        if (imaging_.Fails(Call::createFrame)) return CodeOf(Call::createFrame);
        *frame = imaging_.Make<FakeFrameEncode>(this);
        *options = imaging_.Make<FakeOptions>();
        return S_OK;
    }
    HRESULT Commit() override {
        return imaging_.Fails(Call::commitEncoder) ? CodeOf(Call::commitEncoder) : S_OK;
    }
};

class FakeFactory : public IWICImagingFactory {
  public:
    explicit FakeFactory(Imaging& imaging) : imaging_(imaging) {}
    ULONG references = 1;

    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }

    HRESULT CreateDecoderFromFilename(LPCWSTR fileName, const GUID*, DWORD access,
                                      WICDecodeOptions options,
                                      IWICBitmapDecoder** decoder) override {
        imaging_.decodedPath = fileName;
        imaging_.decodeAccess = access;
        imaging_.decodeOptions = options;
        if (imaging_.whileOpeningInput) imaging_.whileOpeningInput();
        if (imaging_.Fails(Call::createDecoder)) return CodeOf(Call::createDecoder);
        *decoder = imaging_.Make<FakeDecoder>();
        return S_OK;
    }
    HRESULT CreateFormatConverter(IWICFormatConverter** converter) override {
        if (imaging_.Fails(Call::createConverter)) return CodeOf(Call::createConverter);
        *converter = imaging_.Make<FakeConverter>();
        imaging_.converter = *converter;
        return S_OK;
    }
    HRESULT CreateStream(IWICStream** stream) override {
        if (imaging_.Fails(Call::createStream)) return CodeOf(Call::createStream);
        *stream = imaging_.Make<FakeStream>();
        return S_OK;
    }
    HRESULT CreateEncoder(REFGUID container, const GUID*, IWICBitmapEncoder** encoder) override {
        imaging_.container = container;
        if (imaging_.Fails(Call::createEncoder)) return CodeOf(Call::createEncoder);
        *encoder = imaging_.Make<FakeEncoder>();
        return S_OK;
    }

  private:
    Imaging& imaging_;
};

// One input in a fresh folder, converted through the fakes.
struct Conversion {
    TempFolder folder;
    std::wstring input = folder / L"in.heic";
    Imaging imaging;
    FakeFactory factory{imaging};
    ConversionOptions options;

    Conversion() {
        WriteTestFile(input, "pretend HEIC");
        imaging.folder = folder.path();
    }

    // The name the JPEG gets beside the input, joined as the program joins.
    std::wstring Beside(const wchar_t* name) const { return folder.path() + L"\\" + name; }

    ConversionResult Run() {
        const long clearsBefore = standin::VariantClearCount();
        ConversionResult result = ConvertFile(&factory, input, options);
        variantClears = standin::VariantClearCount() - clearsBefore;
        return result;
    }
    long variantClears = 0;

    // Every object the conversion obtained was released once, and the borrowed factory untouched.
    void ExpectAllReleased() const {
        EXPECT_EQ(imaging.liveObjects, 0);
        EXPECT_EQ(imaging.overReleases, 0);
        EXPECT_EQ(factory.references, 1u);
    }
};

const char* NameOf(Call call) {
    static const char* const names[] = {
        "CreateDecoderFromFilename",
        "GetFrame",
        "CreateFormatConverter",
        "converter Initialize",
        "CreateStream",
        "InitializeFromIStream",
        "CreateEncoder",
        "encoder Initialize",
        "CreateNewFrame",
        "property bag Write",
        "frame Initialize",
        "GetSize",
        "SetSize",
        "SetResolution",
        "SetPixelFormat",
        "WriteSource",
        "frame Commit",
        "encoder Commit",
    };
    return names[static_cast<int>(call)];
}

TEST(ConvertFilePipeline, TheFirstFailingCallDecidesAndNothingIsLeftBehind) {
    for (int index = 0; index < kCallCount; ++index) {
        const Call failing = static_cast<Call>(index);
        SCOPED_TRACE(NameOf(failing));
        Conversion conversion;
        conversion.imaging.failFrom = failing;  // later calls would fail too, with other codes
        const ConversionResult result = conversion.Run();

        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(result.hresult, CodeOf(failing));
        EXPECT_EQ(result.message, FormatFailureMessage(CodeOf(failing)));
        EXPECT_EQ(result.outputPath, conversion.Beside(L"in.jpg"));
        EXPECT_FALSE(conversion.imaging.ReachedAfter(failing));
        EXPECT_FALSE(TestEntryExists(HostPath(result.outputPath)));
        conversion.ExpectAllReleased();

        // The file goes only after the stream has let go of it; Windows cannot delete it sooner.
        if (failing > Call::openStream) {
            EXPECT_EQ(conversion.imaging.fileAtStreamClose, std::optional<bool>(true));
        }
        // Once the encoding has begun, the resolution is asked even when the chain has failed.
        EXPECT_EQ(conversion.imaging.resolutionAsked, failing >= Call::createStream);
        EXPECT_EQ(conversion.imaging.resolution.has_value(), failing >= Call::setResolution);
        EXPECT_EQ(conversion.variantClears, failing >= Call::writeOptions ? 1 : 0);
    }
}

// A file that appears at the chosen name after the choice (another run writing into the same
// folder) is never opened: the stream gets the next free name, claimed first, and a failure
// removes only what this conversion created.
TEST(ConvertFilePipeline, ANameTakenAfterTheChoiceIsLeftAloneAndTheNextFreeOneWritten) {
    struct Case {
        std::optional<Call> failing;  // none: the conversion succeeds
        const wchar_t* written;       // the name the result reports
    };
    const Case cases[] = {
        {Call::createDecoder, L"in.jpg"},     {Call::createStream, L"in.jpg"},
        {Call::openStream, L"in (1).jpg"},    {Call::createEncoder, L"in (1).jpg"},
        {Call::commitEncoder, L"in (1).jpg"}, {std::nullopt, L"in (1).jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing ? NameOf(*c.failing) : "no failure");
        Conversion conversion;
        const std::wstring taken = conversion.folder / L"in.jpg";
        conversion.imaging.whileOpeningInput = [&] { WriteTestFile(taken, "someone else's"); };
        conversion.imaging.failFrom = c.failing;
        const ConversionResult result = conversion.Run();

        EXPECT_EQ(result.succeeded, !c.failing);
        EXPECT_EQ(result.hresult, c.failing ? CodeOf(*c.failing) : S_OK);
        EXPECT_EQ(result.outputPath, conversion.Beside(c.written));
        EXPECT_EQ(ReadTestFile(taken), "someone else's");
        EXPECT_EQ(TestEntryExists(conversion.folder / L"in (1).jpg"), !c.failing);
        if (conversion.imaging.ReachedAfter(Call::openStream)) {
            EXPECT_EQ(conversion.imaging.writtenPath, result.outputPath);
        }
        conversion.ExpectAllReleased();
    }
}

// Overwriting, what comes to stand under the name between the choice and the claim is replaced
// only when it is neither the input nor a file that another run is still writing: that run's
// sharing refuses the removal, and the photo fails at once with it.
TEST(ConvertFilePipeline, OverwritingReplacesWhatCameAfterTheChoiceOnlyWhenItMay) {
    struct Case {
        const char* label;
        std::function<void(Conversion&, const std::wstring& name)> put;
        HRESULT hresult;
        const wchar_t* written;  // the name the result reports
        bool inputLinked;        // the name still leads to the input afterwards
    };
    host::FileHandle otherRun = host::kNoFile;
    const Case cases[] = {
        {"another run's finished JPEG",
         [](Conversion&, const std::wstring& name) { WriteTestFile(name, "another run's"); }, S_OK,
         L"in.jpg", false},
        {"a hard link to the input",
         [](Conversion& c, const std::wstring& name) {
             std::filesystem::create_hard_link(NativePath(c.input), NativePath(name));
         },
         S_OK, L"in (1).jpg", true},
        {"a JPEG another run is writing",
         [&](Conversion&, const std::wstring& name) {
             ASSERT_EQ(host::CreateNewFile(name, otherRun), 0u);
         },
         HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), L"in.jpg", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Conversion conversion;
        const std::wstring name = conversion.folder / L"in.jpg";
        conversion.options.overwrite = true;
        conversion.imaging.whileOpeningInput = [&] { c.put(conversion, name); };
        const ConversionResult result = conversion.Run();

        EXPECT_EQ(result.hresult, c.hresult);
        EXPECT_EQ(result.outputPath, conversion.Beside(c.written));
        EXPECT_EQ(ReadTestFile(HostPath(result.outputPath)) == "the start of a JPEG",
                  SUCCEEDED(c.hresult));
        EXPECT_EQ(ReadTestFile(conversion.input), "pretend HEIC");
        EXPECT_EQ(IsSameFile(name, conversion.input), c.inputLinked);
        if (otherRun != host::kNoFile) {
            EXPECT_TRUE(TestEntryExists(name)) << "the other run's file was removed";
            host::DiscardNewFile(otherRun, name);
        }
        conversion.ExpectAllReleased();
    }
}

TEST(ConvertFilePipeline, ResolutionIsPassedOnOnlyWhenBothValuesArePositive) {
    struct Case {
        const char* label;
        HRESULT answer;
        double dpiX;
        double dpiY;
        std::optional<std::pair<double, double>> expected;
    };
    const Case cases[] = {
        {"72 dpi", S_OK, 72.0, 72.0, std::pair(72.0, 72.0)},
        {"unequal axes", S_OK, 300.0, 150.5, std::pair(300.0, 150.5)},
        {"zero horizontal", S_OK, 0.0, 72.0, std::nullopt},
        {"zero vertical", S_OK, 72.0, 0.0, std::nullopt},
        {"negative", S_OK, -96.0, -96.0, std::nullopt},
        {"not a number", S_OK, std::nan(""), 72.0, std::nullopt},
        {"query failed", E_FAIL, 72.0, 72.0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Conversion conversion;
        conversion.imaging.resolutionAnswer = c.answer;
        conversion.imaging.dpiX = c.dpiX;
        conversion.imaging.dpiY = c.dpiY;
        const ConversionResult result = conversion.Run();

        EXPECT_TRUE(result.succeeded);
        EXPECT_EQ(result.hresult, S_OK);
        EXPECT_EQ(conversion.imaging.resolution, c.expected);
    }
}

TEST(ConvertFilePipeline, QualityIsClampedAndGivenAsAFraction) {
    struct Case {
        int quality;
        float expected;
    };
    const Case cases[] = {{92, 0.92f}, {100, 1.0f},  {1, 0.01f},  {50, 0.5f},
                          {0, 0.01f},  {-20, 0.01f}, {101, 1.0f}, {250, 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.quality);
        Conversion conversion;
        conversion.options.quality = c.quality;
        ASSERT_TRUE(conversion.Run().succeeded);
        EXPECT_EQ(conversion.imaging.optionType, VT_R4);
        EXPECT_EQ(conversion.imaging.quality, c.expected);
    }
}

TEST(ConvertFilePipeline, ASuccessfulConversionHandsWicExactlyWhatItNeeds) {
    Conversion conversion;
    conversion.imaging.width = 301;
    conversion.imaging.height = 17;
    const ConversionResult result = conversion.Run();
    const Imaging& seen = conversion.imaging;

    EXPECT_TRUE(result.succeeded);
    EXPECT_EQ(result.hresult, S_OK);
    EXPECT_TRUE(result.message.empty());
    EXPECT_EQ(result.inputPath, conversion.input);
    EXPECT_EQ(result.outputPath, conversion.Beside(L"in.jpg"));
    EXPECT_TRUE(TestEntryExists(HostPath(result.outputPath)));
    conversion.ExpectAllReleased();
    EXPECT_EQ(conversion.variantClears, 1);

    EXPECT_EQ(seen.decodedPath, conversion.input);
    EXPECT_EQ(seen.decodeAccess, GENERIC_READ);
    EXPECT_EQ(seen.decodeOptions, WICDecodeMetadataCacheOnDemand);

    EXPECT_EQ(seen.converterSource, seen.frameDecode);
    EXPECT_EQ(seen.converterFormat, GUID_WICPixelFormat24bppBGR);

    EXPECT_EQ(seen.writtenPath, result.outputPath);
    EXPECT_EQ(seen.container, GUID_ContainerFormatJpeg);
    EXPECT_EQ(seen.cacheOption, WICBitmapEncoderNoCache);

    EXPECT_EQ(seen.optionCount, 1u);
    EXPECT_EQ(seen.optionName, L"ImageQuality");
    EXPECT_TRUE(seen.optionOtherwiseZero);
    EXPECT_EQ(seen.quality, 0.92f);
    EXPECT_EQ(seen.size, std::pair(301u, 17u));
    EXPECT_EQ(seen.resolution, std::pair(72.0, 72.0));
    // The encoder wrote its answer into our copy, not into the shared constant.
    EXPECT_EQ(seen.pixelFormat, GUID_WICPixelFormat24bppBGR);
    EXPECT_NE(GUID_WICPixelFormat24bppBGR, GUID_WICPixelFormat24bppRGB);
    EXPECT_EQ(seen.writeSourceFrom, seen.converter);
    EXPECT_TRUE(seen.writeSourceRectNull);
    EXPECT_TRUE(seen.Reached(Call::commitFrame));
    EXPECT_TRUE(seen.Reached(Call::commitEncoder));
}

// Exceptions end as fixed texts; the owners still give every object back and the partly written
// file does not outlive the conversion.
TEST(ConvertFilePipeline, ExceptionsBecomeFixedTextsAndReleaseEverything) {
    const std::wstring pathText = L"파일 경로를 읽거나 쓸 수 없습니다.";
    const std::wstring unknownText = L"변환 중 알 수 없는 오류가 발생했습니다.";
    struct Case {
        const char* label;
        Call at;
        std::function<void()> thrower;
        std::uint32_t code;
        const std::wstring& message;
    };
    const Case cases[] = {
        {"filesystem error while decoding", Call::getFrame,
         [] {
             throw std::filesystem::filesystem_error("status",
                                                     std::error_code(5, std::system_category()));
         },
         0x80070003u, pathText},
        {"other error while decoding", Call::initializeConverter,
         [] { throw std::runtime_error("boom"); }, 0x80004005u, unknownText},
        {"memory exhaustion while writing", Call::writeSource, [] { throw std::bad_alloc(); },
         0x80004005u, unknownText},
        {"filesystem error at commit", Call::commitFrame,
         [] {
             throw std::filesystem::filesystem_error("remove",
                                                     std::error_code(32, std::system_category()));
         },
         0x80070003u, pathText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Conversion conversion;
        conversion.imaging.throwAt = c.at;
        conversion.imaging.thrower = c.thrower;
        const ConversionResult result = conversion.Run();

        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), c.code);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(result.outputPath, conversion.Beside(L"in.jpg"));
        EXPECT_FALSE(TestEntryExists(HostPath(result.outputPath)));
        conversion.ExpectAllReleased();
    }
}

// Rejections and path errors come before anything is decoded.
TEST(ConvertFilePipeline, FailuresBeforeDecodingNeverReachTheImagingComponent) {
    struct Case {
        const char* label;
        std::function<void(Conversion&)> arrange;
        std::uint32_t code;
        const wchar_t* message;
        bool outputChosen;
    };
    const Case cases[] = {
        {"missing input", [](Conversion& c) { c.input = c.folder / L"missing.heic"; }, 0x80070002u,
         L"파일을 찾을 수 없습니다.", false},
        {"folder as input",
         [](Conversion& c) {
             c.input = c.folder / L"album.heic";
             MakeTestFolder(c.input);
         },
         0x80070002u, L"파일을 찾을 수 없습니다.", false},
        {"not a HEIF name",
         [](Conversion& c) {
             c.input = c.folder / L"in.png";
             WriteTestFile(c.input, "png");
         },
         0x8007000Du, L"HEIC 또는 HEIF 파일이 아닙니다.", false},
        {"input status cannot be read",
         [](Conversion& c) {
             c.input = c.folder / L"loop.heic";
             std::filesystem::create_symlink(NativePath(c.input), NativePath(c.input));
         },
         0x80070003u, L"파일 경로를 읽거나 쓸 수 없습니다.", false},
        {"output folder is a file",
         [](Conversion& c) {
             c.options.outputDir = c.folder / L"taken";
             WriteTestFile(c.options.outputDir, "a file");
         },
         0x80070003u, L"파일 경로를 읽거나 쓸 수 없습니다.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Conversion conversion;
        c.arrange(conversion);
        const ConversionResult result = conversion.Run();

        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), c.code);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(result.inputPath, conversion.input);
        EXPECT_EQ(result.outputPath.empty(), !c.outputChosen);
        EXPECT_FALSE(conversion.imaging.Reached(Call::createDecoder));
        EXPECT_TRUE(conversion.imaging.decodedPath.empty());
    }
}

TEST(ConvertFilePipeline, OverwritingRemovesTheOldOutputBeforeDecodingEvenWhenDecodingFails) {
    Conversion conversion;
    const std::wstring output = conversion.folder / L"in.jpg";
    WriteTestFile(output, "yesterday's JPEG");
    conversion.options.overwrite = true;
    bool oldOutputGoneWhenDecoding = false;
    conversion.imaging.whileOpeningInput = [&] {
        oldOutputGoneWhenDecoding = !TestEntryExists(output);
    };
    conversion.imaging.failFrom = Call::createDecoder;
    const ConversionResult result = conversion.Run();

    EXPECT_EQ(result.hresult, CodeOf(Call::createDecoder));
    EXPECT_TRUE(oldOutputGoneWhenDecoding);
    EXPECT_FALSE(TestEntryExists(output));
}

// With self-test an input may be a JPEG whose plain output name is the input itself. Overwriting
// must never remove or write over it: it gets the numbered name, as without overwriting.
TEST(ConvertFilePipeline, AnInputIsNeverItsOwnOutput) {
    struct Case {
        const char* label;
        bool overwrite;
        bool outputDirIsLinkToInputFolder;
        bool numberOneTaken;
        const wchar_t* expectedName;
    };
    const Case cases[] = {
        {"overwrite, own folder", true, false, false, L"x (1).jpg"},
        {"overwrite, first number taken", true, false, true, L"x (2).jpg"},
        {"overwrite, same folder by another name", true, true, false, L"x (1).jpg"},
        {"no overwrite", false, false, false, L"x (1).jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Conversion conversion;
        conversion.input = conversion.folder / L"x.jpg";
        WriteTestFile(conversion.input, "the user's own JPEG");
        if (c.numberOneTaken) WriteTestFile(conversion.folder / L"x (1).jpg", "taken");
        std::wstring outputFolder = conversion.folder.path();
        if (c.outputDirIsLinkToInputFolder) {
            outputFolder = conversion.folder / L"same";
            std::filesystem::create_directory_symlink(NativePath(conversion.folder.path()),
                                                      NativePath(outputFolder));
            conversion.options.outputDir = outputFolder;
            conversion.imaging.folder = outputFolder;
        }
        conversion.options.selfTest = true;
        conversion.options.overwrite = c.overwrite;
        const ConversionResult result = conversion.Run();

        EXPECT_TRUE(result.succeeded);
        EXPECT_EQ(result.outputPath, outputFolder + L"\\" + c.expectedName);
        EXPECT_EQ(conversion.imaging.writtenPath, result.outputPath);
        EXPECT_EQ(ReadTestFile(conversion.input), "the user's own JPEG");
        if (c.numberOneTaken) {
            EXPECT_EQ(ReadTestFile(conversion.folder / L"x (1).jpg"), "taken");
        }
    }
}

TEST(ConvertFilePipeline, OverwritingStillReplacesAnOutputThatIsNotTheInput) {
    Conversion conversion;
    conversion.input = conversion.folder / L"x.png";
    WriteTestFile(conversion.input, "png");
    WriteTestFile(conversion.folder / L"x.jpg", "an older conversion");
    conversion.options.selfTest = true;
    conversion.options.overwrite = true;
    const ConversionResult result = conversion.Run();

    EXPECT_TRUE(result.succeeded);
    EXPECT_EQ(result.outputPath, conversion.Beside(L"x.jpg"));
    EXPECT_EQ(ReadTestFile(conversion.folder / L"x.jpg"), "the start of a JPEG");
}

}  // namespace

// Names can change under an open file on this host: a link put at the JPEG's name after the claim
// is never written through, and a JPEG that no longer stands under its name is no success.
TEST(ConvertFilePipeline, ALinkPutAtTheNameAfterTheClaimIsNotWrittenThrough) {
    Conversion conversion;
    WriteTestFile(conversion.folder / L"victim.jpg", "precious");
    const std::filesystem::path name = NativePath(conversion.folder / L"in.jpg");
    conversion.imaging.afterClaim = [&] {
        std::filesystem::rename(name, NativePath(conversion.folder / L"moved.jpg"));
        std::filesystem::create_symlink("victim.jpg", name);
    };
    const ConversionResult result = conversion.Run();

    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(result.hresult, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadTestFile(conversion.folder / L"victim.jpg"), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(name));
    conversion.ExpectAllReleased();
}

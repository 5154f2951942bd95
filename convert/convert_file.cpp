#include "convert/convert_file.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

#include "convert/failure_messages.h"
#include "convert/file_system.h"
#include "convert/input_checks.h"
#include "convert/output_naming.h"
#include "platform/com_owner.h"

namespace {

constexpr HRESULT kPathFailure = static_cast<HRESULT>(0x80070003u);        // ERROR_PATH_NOT_FOUND
constexpr HRESULT kUnexpectedFailure = static_cast<HRESULT>(0x80004005u);  // E_FAIL
// A name taken again and again between its choice and its claim means others keep racing us
// for it; the input then fails instead of searching without end.
constexpr int kClaimAttempts = 100;

// Frame 0 of the input, seen through a converter that hands out 24-bit BGR.
struct BgrSource {
    ComOwner<IWICBitmapDecoder> decoder;
    ComOwner<IWICBitmapFrameDecode> frame;
    ComOwner<IWICFormatConverter> converter;
};

// The writing side; members are released in reverse: options, frame, encoder, stream.
struct JpegOutput {
    ComOwner<IWICStream> stream;
    ComOwner<IWICBitmapEncoder> encoder;
    ComOwner<IWICBitmapFrameEncode> frame;
    ComOwner<IPropertyBag2> frameOptions;
};

// Removes the output file unless the conversion committed it, but only once this conversion has
// created or opened it: a file that stood there before, or appeared after the name was chosen,
// is not ours. Declared just before the JpegOutput, it runs after the stream and encoders have
// let go of the file; Windows refuses to delete a file that is still open without delete sharing.
class PartialOutput {
  public:
    explicit PartialOutput(const std::wstring& path) : path_(path) {}
    PartialOutput(const PartialOutput&) = delete;
    PartialOutput& operator=(const PartialOutput&) = delete;
    ~PartialOutput() {
        if (ours_) TryRemovePath(path_);
    }

    void Ours() { ours_ = true; }
    void Committed() { ours_ = false; }

  private:
    const std::wstring& path_;
    bool ours_ = false;
};

// Where the JPEG goes: the result's outputPath, and the options that named it, which name it
// again when the name is taken before it is claimed.
struct OutputTarget {
    const std::wstring& inputPath;
    const ConversionOptions& naming;
    std::wstring& path;
};

HRESULT OpenBgrSource(IWICImagingFactory* factory, const std::wstring& path, BgrSource& source) {
    HRESULT hr = factory->CreateDecoderFromFilename(
        path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, source.decoder.put());
    if (FAILED(hr)) return hr;
    hr = source.decoder->GetFrame(0, source.frame.put());
    if (FAILED(hr)) return hr;
    hr = factory->CreateFormatConverter(source.converter.put());
    if (FAILED(hr)) return hr;
    return source.converter->Initialize(source.frame.get(), GUID_WICPixelFormat24bppBGR,
                                        WICBitmapDitherTypeNone, nullptr, 0.0,
                                        WICBitmapPaletteTypeCustom);
}

HRESULT WriteQuality(IPropertyBag2* frameOptions, int quality) {
    wchar_t name[] = L"ImageQuality";
    PROPBAG2 option{};
    option.pstrName = name;

    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R4;
    value.fltVal = static_cast<float>(std::clamp(quality, 1, 100)) / 100.0f;
    const HRESULT hr = frameOptions->Write(1, &option, &value);
    VariantClear(&value);
    return hr;
}

// Another run writing into the same folder may take the chosen name after the choice. Creating
// the file exclusively before the stream opens it means that the stream only ever opens a file
// of ours; a name taken meanwhile is chosen afresh, as the choice now answers.
HRESULT ClaimOutputName(OutputTarget& target) {
    for (int attempt = 1;; ++attempt) {
        const std::uint32_t error = CreateNewFile(target.path);
        if (error == 0) return S_OK;
        if (error != host::kErrorFileExists) return HRESULT_FROM_WIN32(error);
        if (attempt == kClaimAttempts) ThrowFileSystemError("exists", target.path, error);
        target.path = ChooseOutputPath(target.inputPath, target.naming);
    }
}

HRESULT OpenOutputStream(IWICImagingFactory* factory, OutputTarget& target, JpegOutput& output,
                         PartialOutput& partial) {
    HRESULT hr = factory->CreateStream(output.stream.put());
    if (FAILED(hr)) return hr;
    if (!target.naming.overwrite) {
        hr = ClaimOutputName(target);
        if (FAILED(hr)) return hr;
        partial.Ours();
    }
    hr = output.stream->InitializeFromFilename(target.path.c_str(), GENERIC_WRITE);
    if (FAILED(hr)) return hr;
    partial.Ours();
    return S_OK;
}

// Opens the file and sets up the frame up to its size.
HRESULT StartJpeg(IWICImagingFactory* factory, IWICBitmapSource* source, OutputTarget& target,
                  int quality, JpegOutput& output, PartialOutput& partial) {
    HRESULT hr = OpenOutputStream(factory, target, output, partial);
    if (FAILED(hr)) return hr;

    hr = factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, output.encoder.put());
    if (FAILED(hr)) return hr;
    hr = output.encoder->Initialize(output.stream.get(), WICBitmapEncoderNoCache);
    if (FAILED(hr)) return hr;
    hr = output.encoder->CreateNewFrame(output.frame.put(), output.frameOptions.put());
    if (FAILED(hr)) return hr;
    hr = WriteQuality(output.frameOptions.get(), quality);
    if (FAILED(hr)) return hr;
    hr = output.frame->Initialize(output.frameOptions.get());
    if (FAILED(hr)) return hr;

    UINT width = 0;
    UINT height = 0;
    hr = source->GetSize(&width, &height);
    if (FAILED(hr)) return hr;
    return output.frame->SetSize(width, height);
}

// The encoder pulls the pixels through the converter itself: no buffer of ours in between.
HRESULT FinishJpeg(IWICBitmapSource* source, JpegOutput& output) {
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    HRESULT hr = output.frame->SetPixelFormat(&format);
    if (FAILED(hr)) return hr;
    hr = output.frame->WriteSource(source, nullptr);
    if (FAILED(hr)) return hr;
    hr = output.frame->Commit();
    if (FAILED(hr)) return hr;
    return output.encoder->Commit();
}

HRESULT EncodeJpeg(IWICImagingFactory* factory, IWICBitmapSource* source, OutputTarget& target,
                   int quality, JpegOutput& output, PartialOutput& partial) {
    HRESULT hr = StartJpeg(factory, source, target, quality, output, partial);

    // Asked even when the chain has failed; a resolution that cannot be read, or is not positive,
    // is left to the encoder and never fails the conversion.
    double dpiX = 96.0;
    double dpiY = 96.0;
    const HRESULT resolution = source->GetResolution(&dpiX, &dpiY);
    if (SUCCEEDED(hr) && SUCCEEDED(resolution) && dpiX > 0.0 && dpiY > 0.0) {
        hr = output.frame->SetResolution(dpiX, dpiY);
    }
    if (FAILED(hr)) return hr;
    return FinishJpeg(source, output);
}

void StoreFailure(ConversionResult& result, HRESULT code) {
    result.hresult = code;
    result.message = FormatFailureMessage(code);
}

// A handler's text must not throw its way out of ConvertFile; without memory for it the
// message stays empty and the code still tells.
void StoreFixedFailure(ConversionResult& result, HRESULT code, const wchar_t* text) noexcept {
    result.hresult = code;
    try {
        result.message = text;
    } catch (...) {
        result.message.clear();
    }
}

// Chooses the output and prepares its place; returns the options that named it. With selfTest a
// JPEG input can be chosen as its own output, and overwriting would remove it before it is read;
// that input is named as if overwriting were off, which gives it the first numbered free name.
// Identity, not spelling, decides: X.JPG and x.jpg are one file where names ignore case.
ConversionOptions PlaceOutput(const ConversionOptions& options, ConversionResult& result) {
    ConversionOptions naming = options;
    std::wstring outputPath = ChooseOutputPath(result.inputPath, naming);
    if (options.selfTest && options.overwrite && IsSameFile(result.inputPath, outputPath)) {
        naming.overwrite = false;
        outputPath = ChooseOutputPath(result.inputPath, naming);
    }
    result.outputPath = std::move(outputPath);
    PrepareOutputLocation(result.outputPath, naming);
    return naming;
}

void ConvertChecked(IWICImagingFactory* factory, const std::wstring& inputPath,
                    const ConversionOptions& options, ConversionResult& result) {
    if (!CheckInput(inputPath, options, result)) return;

    const ConversionOptions naming = PlaceOutput(options, result);

    BgrSource source;
    HRESULT hr = OpenBgrSource(factory, result.inputPath, source);
    if (FAILED(hr)) return StoreFailure(result, hr);

    PartialOutput partial(result.outputPath);
    JpegOutput output;
    OutputTarget target{result.inputPath, naming, result.outputPath};
    hr = EncodeJpeg(factory, source.converter.get(), target, options.quality, output, partial);
    if (FAILED(hr)) return StoreFailure(result, hr);

    partial.Committed();
    result.succeeded = true;
    result.hresult = S_OK;
}

}  // namespace

ConversionResult ConvertFile(IWICImagingFactory* factory, const std::wstring& inputPath,
                             const ConversionOptions& options) {
    ConversionResult result;
    result.inputPath = inputPath;
    try {
        ConvertChecked(factory, inputPath, options, result);
    } catch (const std::filesystem::filesystem_error&) {
        StoreFixedFailure(result, kPathFailure, L"파일 경로를 읽거나 쓸 수 없습니다.");
    } catch (...) {
        StoreFixedFailure(result, kUnexpectedFailure, L"변환 중 알 수 없는 오류가 발생했습니다.");
    }
    return result;
}

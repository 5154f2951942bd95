#include "convert/convert_file.h"

#include <algorithm>
#include <filesystem>

#include "convert/failure_messages.h"
#include "convert/file_system.h"
#include "convert/input_checks.h"
#include "convert/output_file.h"
#include "platform/com_owner.h"
#include "platform/file_system_host.h"

namespace {

constexpr HRESULT kPathFailure = static_cast<HRESULT>(0x80070003u);        // ERROR_PATH_NOT_FOUND
constexpr HRESULT kUnexpectedFailure = static_cast<HRESULT>(0x80004005u);  // E_FAIL

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

    void Release() {
        frameOptions.reset();
        frame.reset();
        encoder.reset();
        stream.reset();
    }
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

HRESULT OpenOutputStream(IWICImagingFactory* factory, OutputFile& file, JpegOutput& output) {
    HRESULT hr = factory->CreateStream(output.stream.put());
    if (FAILED(hr)) return hr;
    hr = file.Claim();
    if (FAILED(hr)) return hr;
    // Written through the handle that claimed the name: reopened by name, the file could meet a
    // scanner that holds it without write sharing, or a link planted in between.
    ComOwner<IStream> claimed;
    hr = file.CreateStream(claimed.put());
    if (FAILED(hr)) return hr;
    return output.stream->InitializeFromIStream(claimed.get());
}

// Opens the file and sets up the frame up to its size.
HRESULT StartJpeg(IWICImagingFactory* factory, IWICBitmapSource* source, OutputFile& file,
                  int quality, JpegOutput& output) {
    HRESULT hr = OpenOutputStream(factory, file, output);
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

HRESULT EncodeJpeg(IWICImagingFactory* factory, IWICBitmapSource* source, OutputFile& file,
                   int quality, JpegOutput& output) {
    HRESULT hr = StartJpeg(factory, source, file, quality, output);

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

void ConvertChecked(IWICImagingFactory* factory, const std::wstring& inputPath,
                    const ConversionOptions& options, ConversionResult& result) {
    if (!CheckInput(inputPath, options, result)) return;

    // Declared before the pipeline's owners, so that it outlives them: the file is removed, when
    // it must be, only once nothing holds it open.
    OutputFile file(result.inputPath, options);
    result.outputPath = file.path();
    file.PrepareLocation();

    BgrSource source;
    HRESULT hr = OpenBgrSource(factory, host::SystemPath(result.inputPath), source);
    if (FAILED(hr)) return StoreFailure(result, hr);

    JpegOutput output;
    hr = EncodeJpeg(factory, source.converter.get(), file, options.quality, output);
    result.outputPath = file.path();  // the claim may have moved to a free name
    output.Release();                 // the file is finished or removed only once nothing holds it
    if (FAILED(hr)) return StoreFailure(result, hr);
    hr = file.Commit();
    if (FAILED(hr)) return StoreFailure(result, hr);

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
    } catch (const std::filesystem::filesystem_error& error) {
        // An old JPEG that could be neither deleted nor moved back is named, so it can be found.
        try {
            result.hresult = kPathFailure;
            result.message = PathFailureText(error);
        } catch (...) {
            StoreFixedFailure(result, kPathFailure, L"파일 경로를 읽거나 쓸 수 없습니다.");
        }
    } catch (...) {
        StoreFixedFailure(result, kUnexpectedFailure, L"변환 중 알 수 없는 오류가 발생했습니다.");
    }
    return result;
}

// The Linux imaging stand-in fed with any bytes, mostly mutated HEIC files: the factory picks a
// decoder, frame 0 is decoded, converted to BGR and encoded as JPEG, just as a conversion does.
// Every refusal must come back as a failed HRESULT; a crash, a leak or an allocation beyond the
// fuzzer's memory limit is a defect.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/com_owner.h"
#include "platform/imaging_api.h"

namespace {

// Images up to this many pixels also go through the JPEG encoder; larger ones are only decoded
// and sampled, which keeps every run short.
constexpr std::uint64_t kEncodePixelLimit = 1u << 22;
// The largest side a JPEG can have.
constexpr UINT kJpegSideLimit = 65500;

IWICImagingFactory* gFactory = nullptr;
int gInput = -1;
std::wstring gInputPath;
std::wstring gOutputPath;

std::wstring FdPath(int fd) {
    return L"/proc/self/fd/" + std::to_wstring(fd);
}

int MemoryFile(const char* name) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return fd;
}

// The output stream never writes through a link, and /proc/self/fd/N is one: the JPEG goes to a
// real file, in memory where the host has /dev/shm.
std::wstring OutputFilePath() {
    std::string pattern =
        ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/heic-fuzz-XXXXXX" : "/tmp/heic-fuzz-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        std::perror("mkstemp");
        std::abort();
    }
    ::close(fd);
    static const std::string made = pattern;
    std::atexit([] { ::unlink(made.c_str()); });
    return std::wstring(pattern.begin(), pattern.end());
}

void FillInput(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(gInput, 0) != 0 ||
        (size > 0 && ::pwrite(gInput, data, size, 0) != static_cast<ssize_t>(size))) {
        std::perror("writing the input");
        std::abort();
    }
}

// Reads the first, a middle and the last row, which must lie inside what the decoder holds.
void SampleRows(IWICBitmapSource* source, UINT width, UINT height) {
    const UINT stride = width * 3;
    std::vector<BYTE> row(stride);
    for (const UINT y : {0u, height / 2, height - 1}) {
        const WICRect rect{0, static_cast<INT>(y), static_cast<INT>(width), 1};
        const HRESULT hr = source->CopyPixels(&rect, stride, stride, row.data());
        FUZZ_REQUIRE(SUCCEEDED(hr), std::wstring(L"CopyPixels of a decoded image failed"));
    }
}

HRESULT Encode(IWICBitmapSource* source, UINT width, UINT height) {
    ComOwner<IWICStream> stream;
    ComOwner<IWICBitmapEncoder> encoder;
    ComOwner<IWICBitmapFrameEncode> frame;
    ComOwner<IPropertyBag2> options;
    HRESULT hr = gFactory->CreateStream(stream.put());
    if (FAILED(hr)) return hr;
    hr = stream->InitializeFromFilename(gOutputPath.c_str(), GENERIC_WRITE);
    if (FAILED(hr)) return hr;
    hr = gFactory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put());
    if (FAILED(hr)) return hr;
    hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    if (FAILED(hr)) return hr;
    hr = encoder->CreateNewFrame(frame.put(), options.put());
    if (FAILED(hr)) return hr;
    hr = frame->Initialize(options.get());
    if (FAILED(hr)) return hr;
    hr = frame->SetSize(width, height);
    if (FAILED(hr)) return hr;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    hr = frame->SetPixelFormat(&format);
    if (FAILED(hr)) return hr;
    hr = frame->WriteSource(source, nullptr);
    if (FAILED(hr)) return hr;
    hr = frame->Commit();
    if (FAILED(hr)) return hr;
    return encoder->Commit();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) ||
        FAILED(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&gFactory)))) {
        std::fputs("the imaging stand-in cannot start\n", stderr);
        std::abort();
    }
    gInput = MemoryFile("fuzz-input");
    gInputPath = FdPath(gInput);
    gOutputPath = OutputFilePath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FillInput(data, size);

    ComOwner<IWICBitmapDecoder> decoder;
    ComOwner<IWICBitmapFrameDecode> frame;
    ComOwner<IWICFormatConverter> converter;
    if (FAILED(gFactory->CreateDecoderFromFilename(gInputPath.c_str(), nullptr, GENERIC_READ,
                                                   WICDecodeMetadataCacheOnDemand,
                                                   decoder.put()))) {
        return 0;
    }
    if (FAILED(decoder->GetFrame(0, frame.put()))) return 0;
    if (FAILED(gFactory->CreateFormatConverter(converter.put()))) return 0;
    if (FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom))) {
        return 0;
    }

    UINT width = 0;
    UINT height = 0;
    FUZZ_REQUIRE(SUCCEEDED(converter->GetSize(&width, &height)),
                 std::wstring(L"GetSize of a decoded image failed"));
    FUZZ_REQUIRE(width > 0 && height > 0, std::wstring(L"a decoded image without pixels"));
    SampleRows(converter.get(), width, height);
    if (static_cast<std::uint64_t>(width) * height <= kEncodePixelLimit &&
        width <= kJpegSideLimit && height <= kJpegSideLimit) {
        // Any image that decoded and fits a JPEG must also encode.
        FUZZ_REQUIRE(SUCCEEDED(Encode(converter.get(), width, height)),
                     std::wstring(L"a decoded image did not encode"));
    }
    return 0;
}

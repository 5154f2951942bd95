// The imaging factory: opens inputs and picks the decoder by the file's first bytes, and hands out
// the converter, the stream and the JPEG encoder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/standin_objects.h"
#include "platform/posix/system/host_path.h"

namespace standin {
namespace {

// Opens an input for reading. A folder or a device is refused as Windows refuses it, and a FIFO
// cannot make the open wait for a writer.
HRESULT OpenInput(LPCWSTR fileName, UniqueFd& file) {
    const std::string path = HostPath(fileName);
    UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!opened) return HresultFromErrno(errno);
    struct stat status {};
    if (::fstat(opened.get(), &status) != 0) return HresultFromErrno(errno);
    if (!S_ISREG(status.st_mode)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    file = std::move(opened);
    return S_OK;
}

// Reads up to `size` bytes from the start of the file; returns how many it got, or -1.
ssize_t ReadSignature(int fd, BYTE* bytes, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool IsJpegSignature(const BYTE* bytes, std::size_t size) {
    return size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

// A HEIF file opens with a file type box whose brands name it: an HEVC brand, or the generic
// structural brands of a HEIF file that is not AV1-coded (AVIF needs another codec on Windows too).
// libheif's own check answers only "maybe" for the generic brand as major brand.
bool IsHeifSignature(const BYTE* bytes, std::size_t size) {
    if (size < 12 || std::memcmp(bytes + 4, "ftyp", 4) != 0) return false;
    const std::uint32_t boxSize = (std::uint32_t{bytes[0]} << 24) |
                                  (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
                                  bytes[3];
    const std::size_t end = std::min<std::size_t>(size, std::max<std::uint32_t>(boxSize, 12));
    bool hevc = false;
    bool generic = false;
    bool av1 = false;
    // The major brand at 8, the minor version at 12, compatible brands from 16.
    for (std::size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        const std::string_view brand(reinterpret_cast<const char*>(bytes + at), 4);
        for (std::string_view known :
             {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"}) {
            hevc = hevc || brand == known;
        }
        generic = generic || brand == "mif1" || brand == "msf1";
        av1 = av1 || brand == "avif" || brand == "avis";
    }
    return hevc || (generic && !av1);
}

class ImagingFactory final : public ComObject<IWICImagingFactory, &IID_IWICImagingFactory> {
  public:
    HRESULT CreateDecoderFromFilename(LPCWSTR fileName, const GUID* /*vendor*/, DWORD desiredAccess,
                                      WICDecodeOptions metadataOptions,
                                      IWICBitmapDecoder** decoder) override {
        if (decoder == nullptr) return E_INVALIDARG;
        *decoder = nullptr;
        if (fileName == nullptr || (desiredAccess & GENERIC_READ) == 0) return E_INVALIDARG;
        if (metadataOptions != WICDecodeMetadataCacheOnDemand &&
            metadataOptions != WICDecodeMetadataCacheOnLoad) {
            return E_INVALIDARG;
        }
        UniqueFd file;
        if (const HRESULT hr = OpenInput(fileName, file); FAILED(hr)) return hr;

        // Enough for the JPEG marker and HEIF's file type box with its brands.
        BYTE signature[64] = {};
        const ssize_t got = ReadSignature(file.get(), signature, sizeof signature);
        if (got < 0) return HresultFromErrno(errno);
        const auto size = static_cast<std::size_t>(got);

        if (IsJpegSignature(signature, size)) return CreateJpegDecoder(std::move(file), decoder);
        if (IsHeifSignature(signature, size)) return CreateHeifDecoder(std::move(file), decoder);
        return WINCODEC_ERR_COMPONENTNOTFOUND;
    }

    HRESULT CreateFormatConverter(IWICFormatConverter** converter) override {
        if (converter == nullptr) return E_INVALIDARG;
        *converter = NewFormatConverter();
        return *converter != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT CreateStream(IWICStream** stream) override {
        if (stream == nullptr) return E_INVALIDARG;
        *stream = NewFileStream();
        return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT CreateEncoder(REFGUID containerFormat, const GUID* /*vendor*/,
                          IWICBitmapEncoder** encoder) override {
        if (encoder == nullptr) return E_INVALIDARG;
        *encoder = nullptr;
        if (containerFormat != GUID_ContainerFormatJpeg) return WINCODEC_ERR_COMPONENTNOTFOUND;
        *encoder = NewJpegEncoder();
        return *encoder != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

}  // namespace

IWICImagingFactory* NewImagingFactory() {
    return new (std::nothrow) ImagingFactory();
}

}  // namespace standin

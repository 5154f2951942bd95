// JPEG decoding with libjpeg-turbo, so that a JPEG can stand in for a HEIF image when the program
// tests itself. The image is decoded straight to BGR; GetResolution reports the JFIF density.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/decoded_frame.h"
#include "platform/posix/imaging/jpeg_errors.h"
#include "platform/posix/imaging/standin_objects.h"

namespace standin {
namespace {

// WIC's resolution for a JPEG that states none in dots per inch or per centimetre.
constexpr double kDefaultDpi = 96.0;
constexpr double kCentimetresPerInch = 2.54;

// Ends a decompression however its function is left.
struct DecompressGuard {
    jpeg_decompress_struct& info;
    ~DecompressGuard() { jpeg_destroy_decompress(&info); }
};

// The file is held whole while it is decoded. No JPEG within the pixel limit needs more than 4
// bytes a pixel; a larger file (a sparse one costs no disk) would only take the host's memory.
constexpr std::size_t kMaxFileBytes = kMaxImagePixels * 4;

HRESULT ReadWholeFile(int fd, std::vector<BYTE>& bytes) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return HresultFromErrno(errno);
    if (static_cast<std::uint64_t>(status.st_size) > kMaxFileBytes) {
        return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    }
    try {
        bytes.resize(static_cast<std::size_t>(status.st_size));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return HresultFromErrno(errno);
        if (n == 0) break;  // the file shrank meanwhile
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return S_OK;
}

// Adobe's CMYK JPEGs store the inks inverted; others store them as they are.
void CmykRowToBgr(const BYTE* cmyk, BYTE* bgr, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const unsigned c = inverted ? cmyk[0] : 255u - cmyk[0];
        const unsigned m = inverted ? cmyk[1] : 255u - cmyk[1];
        const unsigned y = inverted ? cmyk[2] : 255u - cmyk[2];
        const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
        bgr[0] = static_cast<BYTE>((y * k + 127) / 255);
        bgr[1] = static_cast<BYTE>((m * k + 127) / 255);
        bgr[2] = static_cast<BYTE>((c * k + 127) / 255);
    }
}

class JpegFrame final : public DecodedFrame<IWICBitmapFrameDecode, &IID_IWICBitmapSource,
                                            &IID_IWICBitmapFrameDecode> {
  public:
    JpegFrame(UINT width, UINT height, double dpiX, double dpiY, std::vector<BYTE> bgr)
        : DecodedFrame(width, height, GUID_WICPixelFormat24bppBGR, dpiX, dpiY),
          bgr_(std::move(bgr)) {}

    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override {
        WICRect region{};
        if (const HRESULT hr =
                CheckCopyArguments(rect, Width(), Height(), 3, stride, bufferSize, buffer, region);
            FAILED(hr)) {
            return hr;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(Width()) * 3;
        for (INT row = 0; row < region.Height; ++row) {
            const BYTE* from = bgr_.data() + (static_cast<std::size_t>(region.Y) + row) * rowBytes +
                               static_cast<std::size_t>(region.X) * 3;
            std::memcpy(buffer + static_cast<std::size_t>(row) * stride, from,
                        static_cast<std::size_t>(region.Width) * 3);
        }
        return S_OK;
    }

  private:
    std::vector<BYTE> bgr_;
};

class JpegDecoder final : public ComObject<IWICBitmapDecoder, &IID_IWICBitmapDecoder> {
  public:
    HRESULT Open(const UniqueFd& file) {
        if (const HRESULT hr = ReadWholeFile(file.get(), bytes_); FAILED(hr)) return hr;
        jpeg_decompress_struct info{};
        JpegErrorState errors;
        InstallJpegErrors(reinterpret_cast<j_common_ptr>(&info), errors, WINCODEC_ERR_BADHEADER);
        jpeg_create_decompress(&info);
        DecompressGuard guard{info};
        if (const HRESULT hr = RunJpegStep(errors, [&] { ReadHeader(info); }); FAILED(hr))
            return hr;
        if (info.image_width == 0 || info.image_height == 0) return WINCODEC_ERR_BADHEADER;
        if (info.image_width > kMaxImagePixels / info.image_height)
            return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
        switch (info.density_unit) {
            case 1:
                dpiX_ = info.X_density;
                dpiY_ = info.Y_density;
                break;
            case 2:
                dpiX_ = info.X_density * kCentimetresPerInch;
                dpiY_ = info.Y_density * kCentimetresPerInch;
                break;
            default:
                break;
        }
        return S_OK;
    }

    HRESULT GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (frame == nullptr) return E_INVALIDARG;
        *frame = nullptr;
        if (index != 0) return WINCODEC_ERR_FRAMEMISSING;

        jpeg_decompress_struct info{};
        JpegErrorState errors;
        InstallJpegErrors(reinterpret_cast<j_common_ptr>(&info), errors, WINCODEC_ERR_BADIMAGE);
        jpeg_create_decompress(&info);
        DecompressGuard guard{info};
        if (const HRESULT hr = RunJpegStep(errors, [&] { StartDecompress(info); }); FAILED(hr))
            return hr;

        const bool cmyk = info.out_color_space == JCS_CMYK;
        std::vector<BYTE> bgr;
        std::vector<BYTE> cmykRow;
        try {
            bgr.resize(static_cast<std::size_t>(info.output_width) * info.output_height * 3);
            if (cmyk) cmykRow.resize(static_cast<std::size_t>(info.output_width) * 4);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (const HRESULT hr = RunJpegStep(
                errors, [&] { ReadRows(info, bgr.data(), cmyk ? cmykRow.data() : nullptr); });
            FAILED(hr)) {
            return hr;
        }
        *frame = new (std::nothrow)
            JpegFrame(info.output_width, info.output_height, dpiX_, dpiY_, std::move(bgr));
        return *frame != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    void ReadHeader(jpeg_decompress_struct& info) {
        jpeg_mem_src(&info, bytes_.data(), static_cast<unsigned long>(bytes_.size()));
        jpeg_read_header(&info, TRUE);
    }

    void StartDecompress(jpeg_decompress_struct& info) {
        ReadHeader(info);
        const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
        info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
        jpeg_start_decompress(&info);
    }

    static void ReadRows(jpeg_decompress_struct& info, BYTE* bgr, BYTE* cmykRow) {
        const std::size_t rowBytes = static_cast<std::size_t>(info.output_width) * 3;
        const bool inverted = info.saw_Adobe_marker;
        while (info.output_scanline < info.output_height) {
            BYTE* target = bgr + info.output_scanline * rowBytes;
            JSAMPROW row = cmykRow != nullptr ? cmykRow : target;
            if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
            if (cmykRow != nullptr) CmykRowToBgr(cmykRow, target, info.output_width, inverted);
        }
        jpeg_finish_decompress(&info);
    }

    std::vector<BYTE> bytes_;
    double dpiX_ = kDefaultDpi;
    double dpiY_ = kDefaultDpi;
};

}  // namespace

HRESULT CreateJpegDecoder(UniqueFd file, IWICBitmapDecoder** decoder) {
    ComOwner<JpegDecoder> created(new (std::nothrow) JpegDecoder());
    if (!created) return E_OUTOFMEMORY;
    if (const HRESULT hr = created->Open(file); FAILED(hr)) return hr;
    *decoder = created.get();
    (*decoder)->AddRef();
    return S_OK;
}

}  // namespace standin

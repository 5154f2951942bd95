// HEIF decoding with libheif: the primary image becomes frame 0, decoded once to 8-bit RGB with the
// file's rotation, mirroring and cropping applied and without alpha; the converter turns its rows
// into BGR as they are asked for.
#include <libheif/heif.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "platform/com_owner.h"
#include "platform/posix/com_object.h"
#include "platform/posix/standin_objects.h"

namespace standin {
namespace {

// HEIF stores no resolution that WIC reads; WIC reports the screen's 96 dpi.
constexpr double kHeifDpi = 96.0;

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleFree {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageFree {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// libheif's verdict in WIC's words. `decoding` tells a failure while decoding pixels from one
// while reading the file's structure.
HRESULT HresultFromHeif(const heif_error& error, bool decoding) {
    switch (error.code) {
        case heif_error_Ok:
            return S_OK;
        case heif_error_Unsupported_filetype:
            return WINCODEC_ERR_COMPONENTNOTFOUND;
        case heif_error_Unsupported_feature:
            // A coding format without a decoder is a missing codec, as on Windows.
            return error.subcode == heif_suberror_Unsupported_codec
                       ? WINCODEC_ERR_COMPONENTNOTFOUND
                       : WINCODEC_ERR_UNSUPPORTEDOPERATION;
        case heif_error_Memory_allocation_error:
            return error.subcode == heif_suberror_Security_limit_exceeded
                       ? WINCODEC_ERR_IMAGESIZEOUTOFRANGE
                       : E_OUTOFMEMORY;
        case heif_error_Input_does_not_exist:
            return WINCODEC_ERR_STREAMREAD;
        default:
            return decoding ? WINCODEC_ERR_BADIMAGE : WINCODEC_ERR_BADHEADER;
    }
}

// The primary image, decoded. It keeps libheif's image, the one full copy of the pixels.
class HeifFrame final
    : public ComObject<IWICBitmapFrameDecode, &IID_IWICBitmapSource, &IID_IWICBitmapFrameDecode> {
  public:
    explicit HeifFrame(std::unique_ptr<heif_image, ImageFree> image) : image_(std::move(image)) {
        width_ = static_cast<UINT>(heif_image_get_width(image_.get(), heif_channel_interleaved));
        height_ = static_cast<UINT>(heif_image_get_height(image_.get(), heif_channel_interleaved));
        int stride = 0;
        pixels_ = heif_image_get_plane_readonly(image_.get(), heif_channel_interleaved, &stride);
        stride_ = static_cast<std::size_t>(stride);
    }

    HRESULT GetSize(UINT* width, UINT* height) override {
        if (width == nullptr || height == nullptr) return E_INVALIDARG;
        *width = width_;
        *height = height_;
        return S_OK;
    }

    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        if (format == nullptr) return E_INVALIDARG;
        *format = GUID_WICPixelFormat24bppRGB;
        return S_OK;
    }

    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        if (dpiX == nullptr || dpiY == nullptr) return E_INVALIDARG;
        *dpiX = kHeifDpi;
        *dpiY = kHeifDpi;
        return S_OK;
    }

    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override {
        WICRect region{};
        if (const HRESULT hr =
                CheckCopyArguments(rect, width_, height_, 3, stride, bufferSize, buffer, region);
            FAILED(hr)) {
            return hr;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(region.Width) * 3;
        for (INT row = 0; row < region.Height; ++row) {
            const BYTE* from = pixels_ + (static_cast<std::size_t>(region.Y) + row) * stride_ +
                               static_cast<std::size_t>(region.X) * 3;
            std::memcpy(buffer + static_cast<std::size_t>(row) * stride, from, rowBytes);
        }
        return S_OK;
    }

  private:
    std::unique_ptr<heif_image, ImageFree> image_;
    const BYTE* pixels_ = nullptr;
    std::size_t stride_ = 0;
    UINT width_ = 0;
    UINT height_ = 0;
};

// Reads the file through its descriptor, so that libheif fetches the coded data only when it
// decodes it instead of the whole file being held in memory.
struct FileReader {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;

    static std::int64_t GetPosition(void* self) { return static_cast<FileReader*>(self)->position; }

    static int Read(void* data, size_t size, void* self) {
        auto* reader = static_cast<FileReader*>(self);
        auto* bytes = static_cast<BYTE*>(data);
        while (size > 0) {
            const ssize_t n =
                ::pread(reader->fd, bytes, size, static_cast<off_t>(reader->position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return -1;
            bytes += n;
            size -= static_cast<size_t>(n);
            reader->position += n;
        }
        return 0;
    }

    static int Seek(std::int64_t position, void* self) {
        auto* reader = static_cast<FileReader*>(self);
        if (position < 0 || position > reader->size) return -1;
        reader->position = position;
        return 0;
    }

    static heif_reader_grow_status WaitForFileSize(std::int64_t target, void* self) {
        return target > static_cast<FileReader*>(self)->size
                   ? heif_reader_grow_status_size_beyond_eof
                   : heif_reader_grow_status_size_reached;
    }
};

constexpr heif_reader kReaderCalls = {1, FileReader::GetPosition, FileReader::Read,
                                      FileReader::Seek, FileReader::WaitForFileSize};

class HeifDecoder final : public ComObject<IWICBitmapDecoder, &IID_IWICBitmapDecoder> {
  public:
    explicit HeifDecoder(UniqueFd file) : file_(std::move(file)) {}

    // Reads the file's structure; libheif's own security limits stay in force.
    HRESULT Open() {
        struct stat status {};
        if (::fstat(file_.get(), &status) != 0) return HresultFromErrno(errno);
        reader_ = {file_.get(), static_cast<std::int64_t>(status.st_size), 0};
        context_.reset(heif_context_alloc());
        if (!context_) return E_OUTOFMEMORY;
        if (const HRESULT hr = HresultFromHeif(
                heif_context_read_from_reader(context_.get(), &kReaderCalls, &reader_, nullptr),
                false);
            FAILED(hr)) {
            return hr;
        }
        heif_image_handle* primary = nullptr;
        if (const HRESULT hr = HresultFromHeif(
                heif_context_get_primary_image_handle(context_.get(), &primary), false);
            FAILED(hr)) {
            return hr;
        }
        primary_.reset(primary);
        const auto width = static_cast<std::size_t>(heif_image_handle_get_width(primary_.get()));
        const auto height = static_cast<std::size_t>(heif_image_handle_get_height(primary_.get()));
        if (width == 0 || height == 0) return WINCODEC_ERR_BADHEADER;
        if (width > kMaxImagePixels / height) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
        return S_OK;
    }

    HRESULT GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (frame == nullptr) return E_INVALIDARG;
        *frame = nullptr;
        if (index != 0) return WINCODEC_ERR_FRAMEMISSING;

        std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
        if (!options) return E_OUTOFMEMORY;
        options->convert_hdr_to_8bit = 1;
        heif_image* decoded = nullptr;
        if (const HRESULT hr =
                HresultFromHeif(heif_decode_image(primary_.get(), &decoded, heif_colorspace_RGB,
                                                  heif_chroma_interleaved_RGB, options.get()),
                                true);
            FAILED(hr)) {
            return hr;
        }
        std::unique_ptr<heif_image, ImageFree> image(decoded);
        if (heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
            return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        }
        *frame = new (std::nothrow) HeifFrame(std::move(image));
        return *frame != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    UniqueFd file_;
    FileReader reader_;
    std::unique_ptr<heif_context, ContextFree> context_;
    std::unique_ptr<heif_image_handle, HandleFree> primary_;
};

}  // namespace

HRESULT CreateHeifDecoder(UniqueFd file, IWICBitmapDecoder** decoder) {
    ComOwner<HeifDecoder> created(new (std::nothrow) HeifDecoder(std::move(file)));
    if (!created) return E_OUTOFMEMORY;
    if (const HRESULT hr = created->Open(); FAILED(hr)) return hr;
    *decoder = created.get();
    (*decoder)->AddRef();
    return S_OK;
}

}  // namespace standin

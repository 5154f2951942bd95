// HEIF decoding with libheif: the primary image becomes frame 0, decoded once to 8-bit RGB with the
// file's rotation, mirroring and cropping applied and without alpha; the frame writes its rows as
// RGB, or as BGR for the converter, as they are asked for.
#include <libheif/heif.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/decoded_frame.h"
#include "platform/posix/imaging/standin_objects.h"

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

// The longest side libheif may make an image of: no square beyond the pixel limit.
constexpr int kMaxHeifSide = 1 << 14;
static_assert(std::size_t{kMaxHeifSide} * kMaxHeifSide == kMaxImagePixels);

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

// One colour of the decoded image: where its samples start, the bytes between rows and the
// bytes between neighbouring pixels (1 in a plane of its own, 3 when interleaved).
struct Channel {
    const BYTE* samples = nullptr;
    std::size_t stride = 0;
    std::size_t step = 0;

    const BYTE* At(std::size_t x, std::size_t y) const { return samples + y * stride + x * step; }
};

// Writes `region` as interleaved pixels whose bytes come from `first`, `second` and `third` in
// that order. The step is a template argument so that the planar case compiles to a plain loop.
template <std::size_t Step>
void InterleaveRows(const WICRect& region, const Channel& first, const Channel& second,
                    const Channel& third, UINT stride, BYTE* buffer) {
    const auto x = static_cast<std::size_t>(region.X);
    const auto width = static_cast<std::size_t>(region.Width);
    for (INT row = 0; row < region.Height; ++row) {
        const auto y = static_cast<std::size_t>(region.Y) + static_cast<std::size_t>(row);
        const BYTE* a = first.At(x, y);
        const BYTE* b = second.At(x, y);
        const BYTE* c = third.At(x, y);
        BYTE* out = buffer + static_cast<std::size_t>(row) * stride;
        for (std::size_t i = 0; i < width; ++i) {
            out[3 * i] = a[Step * i];
            out[3 * i + 1] = b[Step * i];
            out[3 * i + 2] = c[Step * i];
        }
    }
}

// The primary image, decoded. It keeps libheif's image, the one full copy of the pixels: 8-bit
// planes of red, green and blue, or interleaved 8-bit RGB for images of deeper samples.
class HeifFrame final : public DecodedFrame<IStandinBgrFrame, &IID_IWICBitmapSource,
                                            &IID_IWICBitmapFrameDecode, &IID_IStandinBgrFrame> {
  public:
    explicit HeifFrame(std::unique_ptr<heif_image, ImageFree> image)
        : DecodedFrame(static_cast<UINT>(heif_image_get_width(image.get(), FirstChannel(*image))),
                       static_cast<UINT>(heif_image_get_height(image.get(), FirstChannel(*image))),
                       GUID_WICPixelFormat24bppRGB, kHeifDpi, kHeifDpi),
          image_(std::move(image)) {
        if (IsPlanar(*image_)) {
            red_ = Plane(heif_channel_R);
            green_ = Plane(heif_channel_G);
            blue_ = Plane(heif_channel_B);
        } else {
            red_ = Plane(heif_channel_interleaved);
            red_.step = 3;
            green_ = {red_.samples + 1, red_.stride, 3};
            blue_ = {red_.samples + 2, red_.stride, 3};
        }
    }

    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override {
        return Copy(rect, stride, bufferSize, buffer, red_, green_, blue_);
    }

    HRESULT CopyBgrPixels(const WICRect* rect, UINT stride, UINT bufferSize,
                          BYTE* buffer) override {
        return Copy(rect, stride, bufferSize, buffer, blue_, green_, red_);
    }

  private:
    static bool IsPlanar(const heif_image& image) {
        return heif_image_get_chroma_format(&image) == heif_chroma_444;
    }

    // The channel that carries the image's size: red's plane, or the interleaved one.
    static heif_channel FirstChannel(const heif_image& image) {
        return IsPlanar(image) ? heif_channel_R : heif_channel_interleaved;
    }

    Channel Plane(heif_channel channel) const {
        int stride = 0;
        const BYTE* samples = heif_image_get_plane_readonly(image_.get(), channel, &stride);
        return {samples, static_cast<std::size_t>(stride), 1};
    }

    HRESULT Copy(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer,
                 const Channel& first, const Channel& second, const Channel& third) const {
        WICRect region{};
        if (const HRESULT hr =
                CheckCopyArguments(rect, Width(), Height(), 3, stride, bufferSize, buffer, region);
            FAILED(hr)) {
            return hr;
        }
        if (first.step == 1) {
            InterleaveRows<1>(region, first, second, third, stride, buffer);
        } else {
            InterleaveRows<3>(region, first, second, third, stride, buffer);
        }
        return S_OK;
    }

    std::unique_ptr<heif_image, ImageFree> image_;
    Channel red_;
    Channel green_;
    Channel blue_;
};

// Whether libheif gave the decoded image as three 8-bit planes of red, green and blue.
bool IsEightBitRgbPlanes(const heif_image* image) {
    if (heif_image_get_colorspace(image) != heif_colorspace_RGB ||
        heif_image_get_chroma_format(image) != heif_chroma_444) {
        return false;
    }
    for (const heif_channel channel : {heif_channel_R, heif_channel_G, heif_channel_B}) {
        if (heif_image_get_bits_per_pixel_range(image, channel) != 8) return false;
    }
    return true;
}

// Reads the file through its descriptor, so that libheif fetches the coded data only when it
// decodes it instead of the whole file being held in memory. libheif reads the file's structure a
// field of a few bytes at a time; such small reads are served from one larger read ahead.
struct FileReader {
    static constexpr std::size_t kReadAheadBytes = 64 * 1024;

    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;
    // `aheadLength` bytes of the file from `aheadStart` on.
    std::unique_ptr<BYTE[]> ahead;
    std::int64_t aheadStart = 0;
    std::size_t aheadLength = 0;

    static std::int64_t GetPosition(void* self) { return static_cast<FileReader*>(self)->position; }

    static int Read(void* data, size_t size, void* self) {
        auto* reader = static_cast<FileReader*>(self);
        auto* bytes = static_cast<BYTE*>(data);
        // libheif asks for nothing at times, and then may pass no buffer at all.
        if (size == 0) return 0;
        if (size >= kReadAheadBytes) return reader->ReadFully(bytes, size) ? 0 : -1;
        if (!reader->HasAhead(size) && (!reader->ReadAhead() || !reader->HasAhead(size))) return -1;
        std::memcpy(bytes, reader->ahead.get() + (reader->position - reader->aheadStart), size);
        reader->position += static_cast<std::int64_t>(size);
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

    // Whether the `count` bytes at the position were read ahead.
    bool HasAhead(std::size_t count) const {
        return position >= aheadStart &&
               static_cast<std::uint64_t>(position - aheadStart) + count <= aheadLength;
    }

    // Reads ahead from the position, as far as the buffer or the file goes.
    bool ReadAhead() {
        if (!ahead) ahead.reset(new (std::nothrow) BYTE[kReadAheadBytes]);
        if (!ahead) return false;
        aheadStart = position;
        aheadLength = 0;
        const std::size_t wanted = static_cast<std::size_t>(
            std::clamp<std::int64_t>(size - position, 0, std::int64_t{kReadAheadBytes}));
        while (aheadLength < wanted) {
            const ssize_t n =
                ::pread(fd, ahead.get() + aheadLength, wanted - aheadLength,
                        static_cast<off_t>(aheadStart) + static_cast<off_t>(aheadLength));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n == 0;
            aheadLength += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads `count` bytes at the position straight into `bytes`; fails at the end of the file.
    bool ReadFully(BYTE* bytes, size_t count) {
        while (count > 0) {
            const ssize_t n = ::pread(fd, bytes, count, static_cast<off_t>(position));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            count -= static_cast<size_t>(n);
            position += n;
        }
        return true;
    }
};

constexpr heif_reader kReaderCalls = {1, FileReader::GetPosition, FileReader::Read,
                                      FileReader::Seek, FileReader::WaitForFileSize};

// libheif decodes a grid's tiles on up to 4 threads at once. Tiles in flight beyond the CPUs that
// run them finish no sooner and only hold more tile buffers at the same time, which the program's
// heap then keeps for reuse; so no more threads than this process has CPUs.
int TileThreads() {
    constexpr int kLibheifDefault = 4;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0) return kLibheifDefault;
    return std::clamp(CPU_COUNT(&cpus), 1, kLibheifDefault);
}

class HeifDecoder final : public ComObject<IWICBitmapDecoder, &IID_IWICBitmapDecoder> {
  public:
    explicit HeifDecoder(UniqueFd file) : file_(std::move(file)) {}

    // Reads the file's structure; libheif's own security limits stay in force, one of them
    // tightened.
    HRESULT Open() {
        struct stat status {};
        if (::fstat(file_.get(), &status) != 0) return HresultFromErrno(errno);
        reader_.fd = file_.get();
        reader_.size = static_cast<std::int64_t>(status.st_size);
        context_.reset(heif_context_alloc());
        if (!context_) return E_OUTOFMEMORY;
        // The size checked below is the one the image states, but libheif makes a grid's canvas
        // as large as the grid's own header says. Its limit on each side of every size it reads
        // keeps that canvas within the pixel limit too.
        heif_context_set_maximum_image_size_limit(context_.get(), kMaxHeifSide);
        heif_context_set_max_decoding_threads(context_.get(), TileThreads());
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

        // libheif turns every decoded picture into planes of red, green and blue before anything
        // else; taking 8-bit planes as they are spares a second full-size copy in interleaved RGB.
        // Deeper samples are asked for interleaved, which is where libheif brings them to 8 bits.
        const bool eightBit = heif_image_handle_get_luma_bits_per_pixel(primary_.get()) == 8 &&
                              heif_image_handle_get_chroma_bits_per_pixel(primary_.get()) == 8;
        std::unique_ptr<heif_image, ImageFree> image;
        if (const HRESULT hr =
                Decode(eightBit ? heif_chroma_444 : heif_chroma_interleaved_RGB, image);
            FAILED(hr)) {
            return hr;
        }
        if (eightBit
                ? !IsEightBitRgbPlanes(image.get())
                : heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8) {
            return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        }
        // A grid whose header gives its canvas no rows or no columns decodes without error.
        const heif_channel any = eightBit ? heif_channel_R : heif_channel_interleaved;
        if (heif_image_get_width(image.get(), any) <= 0 ||
            heif_image_get_height(image.get(), any) <= 0) {
            return WINCODEC_ERR_BADIMAGE;
        }
        *frame = new (std::nothrow) HeifFrame(std::move(image));
        return *frame != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    // Decodes the primary image as RGB with the file's transforms applied, in `chroma` layout.
    HRESULT Decode(heif_chroma chroma, std::unique_ptr<heif_image, ImageFree>& image) const {
        std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
        if (!options) return E_OUTOFMEMORY;
        options->convert_hdr_to_8bit = 1;
        heif_image* decoded = nullptr;
        const HRESULT hr = HresultFromHeif(
            heif_decode_image(primary_.get(), &decoded, heif_colorspace_RGB, chroma, options.get()),
            true);
        image.reset(decoded);
        return hr;
    }

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

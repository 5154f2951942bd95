// The JPEG encoder: one frame, written by libjpeg-turbo straight from BGR rows that it pulls from
// its source a strip at a time through one reusable buffer. Baseline, 4:2:0 chroma, the quality
// and resolution it was given.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/encoder_options.h"
#include "platform/posix/imaging/jpeg_errors.h"
#include "platform/posix/imaging/standin_objects.h"

namespace standin {
namespace {

// One row of 4:2:0 blocks: libjpeg compresses 16 rows at a time anyway.
constexpr UINT kStripRows = 16;
constexpr std::size_t kOutputBufferBytes = 64 * 1024;
// WIC's JPEG encoder writes 96 dpi unless told otherwise.
constexpr double kDefaultDpi = 96.0;
constexpr double kMaxDensity = 65535.0;

// A frame's strip and output buffers, handed on to the next frame encoded on the same thread (the
// next photo of a batch) instead of being allocated and faulted in again.
struct FrameBuffers {
    std::vector<BYTE> strip;
    std::vector<BYTE> output;
};
thread_local FrameBuffers spareFrameBuffers;

// Takes over `spare`'s memory and makes `buffer` `size` zero bytes, as a new one would be: no byte
// of an earlier photo remains in it.
void TakeZeroed(std::vector<BYTE>& buffer, std::vector<BYTE>& spare, std::size_t size) {
    if (spare.capacity() > buffer.capacity()) buffer.swap(spare);
    buffer.assign(size, 0);
}

// Leaves the larger of the two buffers' memory for the next frame.
void GiveBack(std::vector<BYTE>& buffer, std::vector<BYTE>& spare) {
    if (buffer.capacity() > spare.capacity()) buffer.swap(spare);
}

class JpegEncoder final : public ComObject<IWICBitmapEncoder, &IID_IWICBitmapEncoder> {
  public:
    HRESULT Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) override {
        if (state_ != State::Created) return WINCODEC_ERR_WRONGSTATE;
        if (stream == nullptr || cacheOption > WICBitmapEncoderNoCache) return E_INVALIDARG;
        // Only our own streams can be written; any other IStream answers E_NOINTERFACE here.
        IStandinFileStream* ours = nullptr;
        if (const HRESULT hr =
                stream->QueryInterface(IID_IStandinFileStream, reinterpret_cast<void**>(&ours));
            FAILED(hr)) {
            return hr;
        }
        stream_ = ComOwner<IStandinFileStream>(ours);
        state_ = State::Initialized;
        return S_OK;
    }

    HRESULT CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** encoderOptions) override;

    HRESULT Commit() override {
        if (state_ == State::Created) return WINCODEC_ERR_NOTINITIALIZED;
        if (state_ != State::FrameCommitted) return WINCODEC_ERR_WRONGSTATE;
        state_ = State::Committed;
        return stream_->Close();
    }

    IStandinFileStream& Stream() const { return *stream_.get(); }
    void FrameCommitted() { state_ = State::FrameCommitted; }

  private:
    enum class State { Created, Initialized, FrameOpen, FrameCommitted, Committed };
    State state_ = State::Created;
    ComOwner<IStandinFileStream> stream_;
};

class JpegFrameEncoder final : public ComObject<IWICBitmapFrameEncode, &IID_IWICBitmapFrameEncode> {
  public:
    JpegFrameEncoder(JpegEncoder* encoder, EncoderOptions* options) {
        encoder->AddRef();
        encoder_ = ComOwner<JpegEncoder>(encoder);
        options->AddRef();
        options_ = ComOwner<EncoderOptions>(options);
    }

    ~JpegFrameEncoder() override {
        if (compressorCreated_) jpeg_destroy_compress(&info_);
        GiveBack(strip_, spareFrameBuffers.strip);
        GiveBack(output_, spareFrameBuffers.output);
    }

    HRESULT Initialize(IPropertyBag2* encoderOptions) override {
        if (state_ != State::Created) return WINCODEC_ERR_WRONGSTATE;
        if (encoderOptions != nullptr && encoderOptions != options_.get()) return E_INVALIDARG;
        quality_ =
            static_cast<int>(std::lround(static_cast<double>(options_->ImageQuality()) * 100.0));
        options_->Freeze();
        state_ = State::Ready;
        return S_OK;
    }

    HRESULT SetSize(UINT width, UINT height) override {
        if (const HRESULT hr = CheckStillConfigurable(); FAILED(hr)) return hr;
        if (width == 0 || height == 0) return E_INVALIDARG;
        if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
            return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
        width_ = width;
        height_ = height;
        return S_OK;
    }

    HRESULT SetResolution(double dpiX, double dpiY) override {
        if (const HRESULT hr = CheckStillConfigurable(); FAILED(hr)) return hr;
        if (!(dpiX > 0.0 && dpiX <= kMaxDensity && dpiY > 0.0 && dpiY <= kMaxDensity))
            return E_INVALIDARG;
        dpiX_ = dpiX;
        dpiY_ = dpiY;
        return S_OK;
    }

    HRESULT SetPixelFormat(WICPixelFormatGUID* format) override {
        if (const HRESULT hr = CheckStillConfigurable(); FAILED(hr)) return hr;
        if (format == nullptr) return E_INVALIDARG;
        // The one format written; WIC hands back the format it will use in place of the asked one.
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }

    HRESULT WriteSource(IWICBitmapSource* source, WICRect* rect) override {
        if (state_ == State::Created) return WINCODEC_ERR_NOTINITIALIZED;
        if (state_ != State::Ready && state_ != State::Writing) return WINCODEC_ERR_WRONGSTATE;
        if (source == nullptr) return E_INVALIDARG;
        WICPixelFormatGUID format{};
        if (const HRESULT hr = source->GetPixelFormat(&format); FAILED(hr)) return hr;
        if (format != GUID_WICPixelFormat24bppBGR) return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        UINT sourceWidth = 0;
        UINT sourceHeight = 0;
        if (const HRESULT hr = source->GetSize(&sourceWidth, &sourceHeight); FAILED(hr)) return hr;
        const WICRect region = rect != nullptr ? *rect
                                               : WICRect{0, 0, static_cast<INT>(sourceWidth),
                                                         static_cast<INT>(sourceHeight)};
        if (region.X < 0 || region.Y < 0 || region.Width <= 0 || region.Height <= 0 ||
            std::int64_t{region.X} + region.Width > std::int64_t{sourceWidth} ||
            std::int64_t{region.Y} + region.Height > std::int64_t{sourceHeight}) {
            return E_INVALIDARG;
        }
        // Without SetSize, the first rows written give the size, as in WIC.
        if (width_ == 0) {
            if (const HRESULT hr =
                    SetSize(static_cast<UINT>(region.Width), static_cast<UINT>(region.Height));
                FAILED(hr)) {
                return hr;
            }
        }
        if (static_cast<UINT>(region.Width) != width_)
            return WINCODEC_ERR_SOURCERECTDOESNOTMATCHDIMENSIONS;
        if (rowsWritten_ + static_cast<UINT>(region.Height) > height_)
            return WINCODEC_ERR_CODECTOOMANYSCANLINES;

        if (state_ == State::Ready) {
            if (const HRESULT hr = Start(); FAILED(hr)) return Fail(hr);
        }
        for (INT done = 0; done < region.Height;) {
            const UINT rows = std::min<UINT>(kStripRows, static_cast<UINT>(region.Height - done));
            const WICRect strip{region.X, region.Y + done, region.Width, static_cast<INT>(rows)};
            if (const HRESULT hr =
                    source->CopyPixels(&strip, stride_, rows * stride_, strip_.data());
                FAILED(hr)) {
                return Fail(hr);
            }
            if (const HRESULT hr =
                    RunJpegStep(errors_, [&] { jpeg_write_scanlines(&info_, rows_.data(), rows); });
                FAILED(hr)) {
                return Fail(hr);
            }
            done += static_cast<INT>(rows);
            rowsWritten_ += rows;
        }
        return S_OK;
    }

    HRESULT Commit() override {
        if (state_ == State::Created) return WINCODEC_ERR_NOTINITIALIZED;
        if (state_ != State::Writing || rowsWritten_ != height_) return WINCODEC_ERR_WRONGSTATE;
        if (const HRESULT hr = RunJpegStep(errors_, [&] { jpeg_finish_compress(&info_); });
            FAILED(hr)) {
            return Fail(hr);
        }
        state_ = State::Committed;
        encoder_->FrameCommitted();
        return S_OK;
    }

  private:
    enum class State { Created, Ready, Writing, Committed, Failed };

    // libjpeg's destination, writing its buffer to the encoder's stream each time it fills.
    struct Destination {
        jpeg_destination_mgr manager;  // first, so that libjpeg's pointer is a pointer to this
        JpegFrameEncoder* frame;
    };

    HRESULT CheckStillConfigurable() const {
        if (state_ == State::Created) return WINCODEC_ERR_NOTINITIALIZED;
        return state_ == State::Ready ? S_OK : WINCODEC_ERR_WRONGSTATE;
    }

    HRESULT Fail(HRESULT hr) {
        state_ = State::Failed;
        return hr;
    }

    HRESULT Start() {
        stride_ = width_ * 3;
        try {
            TakeZeroed(strip_, spareFrameBuffers.strip, std::size_t{kStripRows} * stride_);
            TakeZeroed(output_, spareFrameBuffers.output, kOutputBufferBytes);
            rows_.resize(kStripRows);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        for (UINT i = 0; i < kStripRows; ++i) rows_[i] = strip_.data() + std::size_t{i} * stride_;

        destination_.manager.init_destination = InitDestination;
        destination_.manager.empty_output_buffer = EmptyOutputBuffer;
        destination_.manager.term_destination = TermDestination;
        destination_.frame = this;
        InstallJpegErrors(reinterpret_cast<j_common_ptr>(&info_), errors_,
                          WINCODEC_ERR_INTERNALERROR);
        const HRESULT hr = RunJpegStep(errors_, [&] {
            jpeg_create_compress(&info_);
            compressorCreated_ = true;
            info_.dest = &destination_.manager;
            info_.image_width = width_;
            info_.image_height = height_;
            info_.input_components = 3;
            info_.in_color_space = JCS_EXT_BGR;
            jpeg_set_defaults(&info_);  // YCbCr, 4:2:0, baseline Huffman coding, JFIF header
            jpeg_set_quality(&info_, quality_, TRUE);
            info_.density_unit = 1;  // dots per inch
            info_.X_density = Density(dpiX_);
            info_.Y_density = Density(dpiY_);
            jpeg_start_compress(&info_, TRUE);
        });
        if (SUCCEEDED(hr)) state_ = State::Writing;
        return hr;
    }

    static UINT16 Density(double dpi) {
        return static_cast<UINT16>(
            std::clamp(std::lround(dpi), 1L, static_cast<long>(kMaxDensity)));
    }

    static JpegFrameEncoder& Owner(j_compress_ptr info) {
        return *reinterpret_cast<Destination*>(info->dest)->frame;
    }

    void Flush(std::size_t bytes) {
        if (const HRESULT hr = encoder_->Stream().WriteBytes(output_.data(), bytes); FAILED(hr)) {
            FailJpegStep(errors_, hr);
        }
        info_.dest->next_output_byte = output_.data();
        info_.dest->free_in_buffer = output_.size();
    }

    static void InitDestination(j_compress_ptr info) {
        JpegFrameEncoder& frame = Owner(info);
        info->dest->next_output_byte = frame.output_.data();
        info->dest->free_in_buffer = frame.output_.size();
    }

    static boolean EmptyOutputBuffer(j_compress_ptr info) {
        JpegFrameEncoder& frame = Owner(info);
        frame.Flush(frame.output_.size());
        return TRUE;
    }

    static void TermDestination(j_compress_ptr info) {
        JpegFrameEncoder& frame = Owner(info);
        frame.Flush(frame.output_.size() - info->dest->free_in_buffer);
    }

    ComOwner<JpegEncoder> encoder_;
    ComOwner<EncoderOptions> options_;
    State state_ = State::Created;
    int quality_ = 0;
    UINT width_ = 0;
    UINT height_ = 0;
    double dpiX_ = kDefaultDpi;
    double dpiY_ = kDefaultDpi;

    jpeg_compress_struct info_{};
    JpegErrorState errors_;
    Destination destination_{};
    bool compressorCreated_ = false;
    UINT stride_ = 0;
    UINT rowsWritten_ = 0;
    std::vector<BYTE> strip_;
    std::vector<JSAMPROW> rows_;
    std::vector<BYTE> output_;
};

HRESULT JpegEncoder::CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** encoderOptions) {
    if (frame == nullptr) return E_INVALIDARG;
    *frame = nullptr;
    if (encoderOptions != nullptr) *encoderOptions = nullptr;
    if (state_ == State::Created) return WINCODEC_ERR_NOTINITIALIZED;
    // A JPEG holds one frame.
    if (state_ != State::Initialized) return WINCODEC_ERR_WRONGSTATE;
    ComOwner<EncoderOptions> options(new (std::nothrow) EncoderOptions());
    if (!options) return E_OUTOFMEMORY;
    JpegFrameEncoder* created = new (std::nothrow) JpegFrameEncoder(this, options.get());
    if (created == nullptr) return E_OUTOFMEMORY;
    state_ = State::FrameOpen;
    *frame = created;
    if (encoderOptions != nullptr) {
        options->AddRef();
        *encoderOptions = options.get();
    }
    return S_OK;
}

}  // namespace

IWICBitmapEncoder* NewJpegEncoder() {
    return new (std::nothrow) JpegEncoder();
}

}  // namespace standin

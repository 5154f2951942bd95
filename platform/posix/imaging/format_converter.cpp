// The format converter: 24-bit BGR from a 24-bit BGR or RGB source, row by row as CopyPixels asks,
// written straight into the caller's buffer so that no second copy of the image is made. Our HEIF
// frame writes BGR itself; other RGB sources are copied and then swapped in place.
#include <new>
#include <utility>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/standin_objects.h"

namespace standin {
namespace {

class FormatConverter final
    : public ComObject<IWICFormatConverter, &IID_IWICBitmapSource, &IID_IWICFormatConverter> {
  public:
    HRESULT Initialize(IWICBitmapSource* source, REFWICPixelFormatGUID destinationFormat,
                       WICBitmapDitherType /*dither*/, IWICPalette* /*palette*/,
                       double alphaThresholdPercent,
                       WICBitmapPaletteType /*paletteTranslate*/) override {
        if (source_) return WINCODEC_ERR_WRONGSTATE;
        if (source == nullptr ||
            !(alphaThresholdPercent >= 0.0 && alphaThresholdPercent <= 100.0)) {
            return E_INVALIDARG;
        }
        if (destinationFormat != GUID_WICPixelFormat24bppBGR)
            return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        WICPixelFormatGUID sourceFormat{};
        if (const HRESULT hr = source->GetPixelFormat(&sourceFormat); FAILED(hr)) return hr;
        if (sourceFormat == GUID_WICPixelFormat24bppRGB) {
            swapRedAndBlue_ = true;
        } else if (sourceFormat != GUID_WICPixelFormat24bppBGR) {
            return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        }
        if (swapRedAndBlue_) {
            IStandinBgrFrame* bgr = nullptr;
            if (SUCCEEDED(
                    source->QueryInterface(IID_IStandinBgrFrame, reinterpret_cast<void**>(&bgr)))) {
                bgrFrame_ = ComOwner<IStandinBgrFrame>(bgr);
            }
        }
        source->AddRef();
        source_ = ComOwner<IWICBitmapSource>(source);
        return S_OK;
    }

    HRESULT GetSize(UINT* width, UINT* height) override {
        if (!source_) return WINCODEC_ERR_NOTINITIALIZED;
        return source_->GetSize(width, height);
    }

    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        if (format == nullptr) return E_INVALIDARG;
        if (!source_) return WINCODEC_ERR_NOTINITIALIZED;
        *format = GUID_WICPixelFormat24bppBGR;
        return S_OK;
    }

    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        if (!source_) return WINCODEC_ERR_NOTINITIALIZED;
        return source_->GetResolution(dpiX, dpiY);
    }

    HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override {
        if (!source_) return WINCODEC_ERR_NOTINITIALIZED;
        UINT width = 0;
        UINT height = 0;
        if (const HRESULT hr = source_->GetSize(&width, &height); FAILED(hr)) return hr;
        WICRect region{};
        if (const HRESULT hr =
                CheckCopyArguments(rect, width, height, 3, stride, bufferSize, buffer, region);
            FAILED(hr)) {
            return hr;
        }
        if (bgrFrame_) return bgrFrame_->CopyBgrPixels(&region, stride, bufferSize, buffer);
        if (const HRESULT hr = source_->CopyPixels(&region, stride, bufferSize, buffer); FAILED(hr))
            return hr;
        if (swapRedAndBlue_) {
            for (INT row = 0; row < region.Height; ++row) {
                BYTE* pixel = buffer + static_cast<std::size_t>(row) * stride;
                for (INT column = 0; column < region.Width; ++column, pixel += 3) {
                    std::swap(pixel[0], pixel[2]);
                }
            }
        }
        return S_OK;
    }

  private:
    ComOwner<IWICBitmapSource> source_;
    // The source itself when it can write BGR; then nothing is swapped.
    ComOwner<IStandinBgrFrame> bgrFrame_;
    bool swapRedAndBlue_ = false;
};

}  // namespace

IWICFormatConverter* NewFormatConverter() {
    return new (std::nothrow) FormatConverter();
}

}  // namespace standin

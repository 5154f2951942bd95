#pragma once
// What every decoded frame of the stand-in answers alike: its size, its pixel format and its
// resolution, fixed once the frame is made.
#include "platform/posix/imaging/wic_standin.h"
#include "platform/posix/system/com_object.h"

namespace standin {

template <typename Interface, const IID*... Answers>
class DecodedFrame : public ComObject<Interface, Answers...> {
  public:
    HRESULT GetSize(UINT* width, UINT* height) override {
        if (width == nullptr || height == nullptr) return E_INVALIDARG;
        *width = width_;
        *height = height_;
        return S_OK;
    }

    HRESULT GetPixelFormat(WICPixelFormatGUID* format) override {
        if (format == nullptr) return E_INVALIDARG;
        *format = format_;
        return S_OK;
    }

    HRESULT GetResolution(double* dpiX, double* dpiY) override {
        if (dpiX == nullptr || dpiY == nullptr) return E_INVALIDARG;
        *dpiX = dpiX_;
        *dpiY = dpiY_;
        return S_OK;
    }

  protected:
    DecodedFrame(UINT width, UINT height, const WICPixelFormatGUID& format, double dpiX,
                 double dpiY)
        : width_(width), height_(height), format_(format), dpiX_(dpiX), dpiY_(dpiY) {}

    UINT Width() const { return width_; }
    UINT Height() const { return height_; }

  private:
    UINT width_;
    UINT height_;
    WICPixelFormatGUID format_;
    double dpiX_;
    double dpiY_;
};

}  // namespace standin

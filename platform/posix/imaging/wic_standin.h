#pragma once
// Our stand-in for the Windows Imaging Component on hosts without it. Only the subset the
// conversion calls is declared, with the same names, methods and arguments as the Windows SDK,
// so that the conversion compiles unchanged against either. The objects behind it are real:
// libheif decodes HEIF, libjpeg-turbo reads and writes JPEG.
#include "platform/posix/system/com_api.h"

// ---- Windows Imaging Component -----------------------------------------------------------------

using WICPixelFormatGUID = GUID;
using REFWICPixelFormatGUID = const GUID&;

struct WICRect {
    INT X;
    INT Y;
    INT Width;
    INT Height;
};

enum WICDecodeOptions : DWORD { WICDecodeMetadataCacheOnDemand = 0, WICDecodeMetadataCacheOnLoad = 1 };
enum WICBitmapEncoderCacheOption : DWORD {
    WICBitmapEncoderCacheInMemory = 0,
    WICBitmapEncoderCacheTempFile = 1,
    WICBitmapEncoderNoCache = 2
};
enum WICBitmapDitherType : DWORD { WICBitmapDitherTypeNone = 0 };
enum WICBitmapPaletteType : DWORD { WICBitmapPaletteTypeCustom = 0 };

struct IWICPalette : IUnknown {};

struct IWICBitmapSource : IUnknown {
    virtual HRESULT GetSize(UINT* width, UINT* height) = 0;
    virtual HRESULT GetPixelFormat(WICPixelFormatGUID* format) = 0;
    virtual HRESULT GetResolution(double* dpiX, double* dpiY) = 0;
    virtual HRESULT CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) = 0;
};

struct IWICBitmapFrameDecode : IWICBitmapSource {};

struct IWICBitmapDecoder : IUnknown {
    virtual HRESULT GetFrame(UINT index, IWICBitmapFrameDecode** frame) = 0;
};

struct IWICFormatConverter : IWICBitmapSource {
    virtual HRESULT Initialize(IWICBitmapSource* source, REFWICPixelFormatGUID destinationFormat,
                               WICBitmapDitherType dither, IWICPalette* palette,
                               double alphaThresholdPercent, WICBitmapPaletteType paletteTranslate) = 0;
};

struct IWICStream : IStream {
    virtual HRESULT InitializeFromFilename(LPCWSTR fileName, DWORD desiredAccess) = 0;
    virtual HRESULT InitializeFromIStream(IStream* stream) = 0;
};

struct IWICBitmapFrameEncode : IUnknown {
    virtual HRESULT Initialize(IPropertyBag2* encoderOptions) = 0;
    virtual HRESULT SetSize(UINT width, UINT height) = 0;
    virtual HRESULT SetResolution(double dpiX, double dpiY) = 0;
    virtual HRESULT SetPixelFormat(WICPixelFormatGUID* format) = 0;
    virtual HRESULT WriteSource(IWICBitmapSource* source, WICRect* rect) = 0;
    virtual HRESULT Commit() = 0;
};

struct IWICBitmapEncoder : IUnknown {
    virtual HRESULT Initialize(IStream* stream, WICBitmapEncoderCacheOption cacheOption) = 0;
    virtual HRESULT CreateNewFrame(IWICBitmapFrameEncode** frame, IPropertyBag2** encoderOptions) = 0;
    virtual HRESULT Commit() = 0;
};

struct IWICImagingFactory : IUnknown {
    virtual HRESULT CreateDecoderFromFilename(LPCWSTR fileName, const GUID* vendor, DWORD desiredAccess,
                                              WICDecodeOptions metadataOptions,
                                              IWICBitmapDecoder** decoder) = 0;
    virtual HRESULT CreateFormatConverter(IWICFormatConverter** converter) = 0;
    virtual HRESULT CreateStream(IWICStream** stream) = 0;
    virtual HRESULT CreateEncoder(REFGUID containerFormat, const GUID* vendor,
                                  IWICBitmapEncoder** encoder) = 0;
};

// Interface and class identifiers, with the values Windows gives them.
extern const IID IID_IWICImagingFactory;
extern const IID IID_IWICBitmapDecoder;
extern const IID IID_IWICBitmapSource;
extern const IID IID_IWICBitmapFrameDecode;
extern const IID IID_IWICFormatConverter;
extern const IID IID_IWICStream;
extern const IID IID_IWICBitmapEncoder;
extern const IID IID_IWICBitmapFrameEncode;
extern const CLSID CLSID_WICImagingFactory;
extern const CLSID CLSID_WICImagingFactory2;
extern const GUID GUID_ContainerFormatJpeg;
extern const GUID GUID_ContainerFormatHeif;
extern const GUID GUID_WICPixelFormat24bppBGR;
extern const GUID GUID_WICPixelFormat24bppRGB;

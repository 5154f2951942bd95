#pragma once
// Our stand-in for COM, OLE Automation and the Windows Imaging Component on hosts without them.
// Only the subset the conversion calls is declared, with the same names, methods and arguments
// as the Windows SDK, so that the conversion compiles unchanged against either. The objects
// behind it are real: libheif decodes HEIF, libjpeg-turbo reads and writes JPEG.
#include "platform/posix/system/win32_types.h"

// ---- COM ---------------------------------------------------------------------------------------

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

enum COINIT : DWORD { COINIT_APARTMENTTHREADED = 0x2, COINIT_MULTITHREADED = 0x0 };
enum CLSCTX : DWORD { CLSCTX_INPROC_SERVER = 0x1 };

HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// ---- OLE Automation ----------------------------------------------------------------------------

enum VARENUM : VARTYPE { VT_EMPTY = 0, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_BOOL = 11, VT_UI1 = 17 };

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        BYTE bVal;
        std::int16_t boolVal;
    };
};

void VariantInit(VARIANT* value);
HRESULT VariantClear(VARIANT* value);

struct PROPBAG2 {
    DWORD dwType;
    VARTYPE vt;
    CLIPFORMAT cfType;
    DWORD dwHint;
    LPOLESTR pstrName;
    CLSID clsid;
};

struct IPropertyBag2 : IUnknown {
    virtual HRESULT Write(ULONG count, PROPBAG2* properties, VARIANT* values) = 0;
};

struct IStream : IUnknown {};

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
extern const IID IID_IUnknown;
extern const IID IID_IWICImagingFactory;
extern const IID IID_IWICBitmapDecoder;
extern const IID IID_IWICBitmapSource;
extern const IID IID_IWICBitmapFrameDecode;
extern const IID IID_IWICFormatConverter;
extern const IID IID_IWICStream;
extern const IID IID_IStream;
extern const IID IID_IWICBitmapEncoder;
extern const IID IID_IWICBitmapFrameEncode;
extern const IID IID_IPropertyBag2;
extern const CLSID CLSID_WICImagingFactory;
extern const CLSID CLSID_WICImagingFactory2;
extern const GUID GUID_ContainerFormatJpeg;
extern const GUID GUID_ContainerFormatHeif;
extern const GUID GUID_WICPixelFormat24bppBGR;
extern const GUID GUID_WICPixelFormat24bppRGB;

// Stand-in only: how many of its COM objects are alive, so that tests can see every reference
// taken in a conversion given back.
namespace standin {
long LiveObjectCount();
// Stand-in only: how often VariantClear has run, so that tests can see a value cleared once.
long VariantClearCount();
}

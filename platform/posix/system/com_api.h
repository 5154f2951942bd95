#pragma once
// Our stand-in for COM and OLE Automation, as far as the conversion uses them, with the names
// and arguments of the Windows SDK. CoCreateInstance is defined beside the one class it creates
// here, the imaging factory (platform/posix/imaging/).
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

// What is written through a stream, and its end: the part of IStream an encoder uses.
struct ISequentialStream : IUnknown {
    virtual HRESULT Write(const void* data, ULONG size, ULONG* written) = 0;
};

enum STGC : DWORD { STGC_DEFAULT = 0 };

struct IStream : ISequentialStream {
    virtual HRESULT Commit(DWORD commitFlags) = 0;
};

extern const IID IID_IUnknown;
extern const IID IID_IStream;
extern const IID IID_IPropertyBag2;

namespace standin {
// Whether this thread has entered COM, as CoCreateInstance requires.
bool ComEntered();
// Stand-in only: how many of its COM objects are alive, so that tests can see every reference
// taken in a conversion given back.
long LiveObjectCount();
// Stand-in only: how often VariantClear has run, so that tests can see a value cleared once.
long VariantClearCount();
}  // namespace standin

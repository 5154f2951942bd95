// COM's start and end per thread, class creation, VARIANT handling and the identifiers, as far as
// the conversion uses them.
#include <atomic>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/standin_objects.h"
#include "platform/posix/imaging/wic_standin.h"

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IWICImagingFactory = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
const IID IID_IWICBitmapDecoder = {
    0x9edde9e7, 0x8dee, 0x47ea, {0x99, 0xdf, 0xe6, 0xfa, 0xf2, 0xed, 0x44, 0xbf}};
const IID IID_IWICBitmapSource = {
    0x00000120, 0xa8f2, 0x4877, {0xba, 0x0a, 0xfd, 0x2b, 0x66, 0x45, 0xfb, 0x94}};
const IID IID_IWICBitmapFrameDecode = {
    0x3b16811b, 0x6a43, 0x4ec9, {0xa8, 0x13, 0x3d, 0x93, 0x0c, 0x13, 0xb9, 0x40}};
const IID IID_IWICFormatConverter = {
    0x00000301, 0xa8f2, 0x4877, {0xba, 0x0a, 0xfd, 0x2b, 0x66, 0x45, 0xfb, 0x94}};
const IID IID_IWICStream = {
    0x135ff860, 0x22b7, 0x4ddf, {0xb0, 0xf6, 0x21, 0x8f, 0x4f, 0x29, 0x9a, 0x43}};
const IID IID_IStream = {
    0x0000000c, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IWICBitmapEncoder = {
    0x00000103, 0xa8f2, 0x4877, {0xba, 0x0a, 0xfd, 0x2b, 0x66, 0x45, 0xfb, 0x94}};
const IID IID_IWICBitmapFrameEncode = {
    0x00000105, 0xa8f2, 0x4877, {0xba, 0x0a, 0xfd, 0x2b, 0x66, 0x45, 0xfb, 0x94}};
const IID IID_IPropertyBag2 = {
    0x22f55882, 0x280b, 0x11d0, {0xa8, 0xa9, 0x00, 0xa0, 0xc9, 0x0c, 0x20, 0x04}};
const CLSID CLSID_WICImagingFactory = {
    0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
const CLSID CLSID_WICImagingFactory2 = {
    0x317d06e8, 0x5f24, 0x433d, {0xbd, 0xf7, 0x79, 0xce, 0x68, 0xd8, 0xab, 0xc2}};
const GUID GUID_ContainerFormatJpeg = {
    0x19e4a5aa, 0x5662, 0x4fc5, {0xa0, 0xc0, 0x17, 0x58, 0x02, 0x8e, 0x10, 0x57}};
const GUID GUID_ContainerFormatHeif = {
    0xe1e62521, 0x6787, 0x405b, {0xa3, 0x39, 0x50, 0x07, 0x15, 0xb5, 0x76, 0x3f}};
const GUID GUID_WICPixelFormat24bppBGR = {
    0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0c}};
const GUID GUID_WICPixelFormat24bppRGB = {
    0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0d}};

namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> variantClears{0};

// COM's per-thread state: how often the thread entered, and in which apartment model.
thread_local int apartmentEntries = 0;
thread_local DWORD apartmentModel = 0;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

}  // namespace

namespace standin {

long LiveObjectCount() {
    return liveObjects.load(std::memory_order_relaxed);
}

long VariantClearCount() {
    return variantClears.load(std::memory_order_relaxed);
}

namespace detail {
void ObjectCreated() {
    liveObjects.fetch_add(1, std::memory_order_relaxed);
}
void ObjectDestroyed() {
    liveObjects.fetch_sub(1, std::memory_order_relaxed);
}
}  // namespace detail

}  // namespace standin

HRESULT CoInitializeEx(void* reserved, DWORD coInit) {
    if (reserved != nullptr) return E_INVALIDARG;
    const DWORD model = coInit & kModelMask;
    if (apartmentEntries > 0 && model != apartmentModel) return RPC_E_CHANGED_MODE;
    apartmentModel = model;
    return apartmentEntries++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (apartmentEntries > 0) --apartmentEntries;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (apartmentEntries == 0) return CO_E_NOTINITIALIZED;
    if (clsid != CLSID_WICImagingFactory && clsid != CLSID_WICImagingFactory2) {
        return REGDB_E_CLASSNOTREG;
    }
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    ComOwner<IWICImagingFactory> factory(standin::NewImagingFactory());
    if (!factory) return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, object);
}

void VariantInit(VARIANT* value) {
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
    variantClears.fetch_add(1, std::memory_order_relaxed);
    if (value == nullptr) return E_INVALIDARG;
    switch (value->vt) {
        case VT_EMPTY:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_UI1:
            value->vt = VT_EMPTY;
            return S_OK;
        default:
            return DISP_E_BADVARTYPE;
    }
}

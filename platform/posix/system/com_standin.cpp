// COM's start and end per thread, the count of live objects, VARIANT handling and COM's own
// identifiers, as far as the conversion uses them.
#include <atomic>

#include "platform/posix/system/com_api.h"
#include "platform/posix/system/com_object.h"

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IStream = {
    0x0000000c, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPropertyBag2 = {
    0x22f55882, 0x280b, 0x11d0, {0xa8, 0xa9, 0x00, 0xa0, 0xc9, 0x0c, 0x20, 0x04}};

namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> variantClears{0};

// COM's per-thread state: how often the thread entered, and in which apartment model.
thread_local int apartmentEntries = 0;
thread_local DWORD apartmentModel = 0;

constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

}  // namespace

namespace standin {

bool ComEntered() {
    return apartmentEntries > 0;
}

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

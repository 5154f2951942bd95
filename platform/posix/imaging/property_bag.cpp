#include <cwchar>

#include "platform/posix/imaging/encoder_options.h"

namespace standin {

HRESULT EncoderOptions::Write(ULONG count, PROPBAG2* properties, VARIANT* values) {
    if (frozen_) return WINCODEC_ERR_WRONGSTATE;
    if (count > 0 && (properties == nullptr || values == nullptr)) return E_INVALIDARG;
    // Every value is checked before any is taken, so a failed write changes nothing.
    float quality = quality_;
    for (ULONG i = 0; i < count; ++i) {
        if (properties[i].pstrName == nullptr) return E_INVALIDARG;
        if (std::wcscmp(properties[i].pstrName, L"ImageQuality") != 0)
            return WINCODEC_ERR_PROPERTYNOTFOUND;
        if (values[i].vt != VT_R4) return WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE;
        const float value = values[i].fltVal;
        if (!(value >= 0.0f && value <= 1.0f)) return E_INVALIDARG;
        quality = value;
    }
    quality_ = quality;
    return S_OK;
}

}  // namespace standin

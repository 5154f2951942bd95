#pragma once
// The JPEG encoder's options, handed out with each new frame as its IPropertyBag2. Only
// "ImageQuality" (VT_R4, 0.0 to 1.0) is taken; the frame reads it when it is initialised, after
// which the bag accepts no more writes.
#include "platform/posix/imaging/wic_standin.h"
#include "platform/posix/system/com_object.h"

namespace standin {

class EncoderOptions final : public ComObject<IPropertyBag2, &IID_IPropertyBag2> {
  public:
    // WIC's JPEG encoder writes at 0.9 unless told otherwise.
    static constexpr float kDefaultQuality = 0.9f;

    HRESULT Write(ULONG count, PROPBAG2* properties, VARIANT* values) override;

    float ImageQuality() const { return quality_; }
    void Freeze() { frozen_ = true; }

  private:
    float quality_ = kDefaultQuality;
    bool frozen_ = false;
};

}  // namespace standin

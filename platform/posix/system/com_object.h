#pragma once
// The reference counting every stand-in COM object shares. Each object implements one chain of
// interfaces (IWICFormatConverter derives from IWICBitmapSource derives from IUnknown, and so on),
// so one pointer serves every interface it answers and QueryInterface only has to say which.
#include <atomic>

#include "platform/posix/system/com_api.h"

namespace standin {

namespace detail {
void ObjectCreated();
void ObjectDestroyed();
}  // namespace detail

// Interface: the most derived interface of the object's chain. Answers: the identifiers of every
// interface of that chain (and any private one), IUnknown excepted, which every object answers.
template <typename Interface, const IID*... Answers>
class ComObject : public Interface {
  public:
    ComObject() { detail::ObjectCreated(); }
    virtual ~ComObject() { detail::ObjectDestroyed(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || ((iid == *Answers) || ...)) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override {
        const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

  private:
    // Born with the one reference its creator hands out.
    std::atomic<ULONG> references_{1};
};

}  // namespace standin

#pragma once
// The one owner of a COM interface pointer: it releases its reference exactly once, when it is
// reset or leaves scope, so no code path has to remember a Release() call.
#include <utility>

template <typename Interface>
class ComOwner {
public:
    ComOwner() = default;
    explicit ComOwner(Interface* adopted) : pointer_(adopted) {}
    ComOwner(const ComOwner&) = delete;
    ComOwner& operator=(const ComOwner&) = delete;
    ComOwner(ComOwner&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComOwner& operator=(ComOwner&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ~ComOwner() { reset(); }

    Interface* get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // For out-parameters: drops what is held and hands out the slot to fill.
    Interface** put() {
        reset();
        return &pointer_;
    }

    void reset() {
        if (Interface* held = std::exchange(pointer_, nullptr)) {
            held->Release();
        }
    }

private:
    Interface* pointer_ = nullptr;
};

// Owning wrapper of one reference to a value of the host's value library.
#pragma once

#include "values/hvcore.h"

#include <utility>

namespace quillon {

class HValue {
public:
    HValue() = default;
    // Takes over a reference that the caller owns (for example from hvCreate).
    explicit HValue(HVALUE owned) : h_(owned) {}
    HValue(const HValue &) = delete;
    HValue &operator=(const HValue &) = delete;
    HValue(HValue &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    HValue &operator=(HValue &&other) noexcept {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    ~HValue() { reset(); }

    static HValue Create() { return HValue(hvCreate()); }
    // Adds a reference of its own to a borrowed handle.
    static HValue Share(HVALUE borrowed) {
        if (borrowed) hvAddRef(borrowed);
        return HValue(borrowed);
    }

    HVALUE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    HVALUE release() { return std::exchange(h_, nullptr); }
    void reset(HVALUE owned = nullptr) {
        HVALUE old = std::exchange(h_, owned);
        if (old) hvRelease(old);
    }
    // For functions that hand out a reference through an out parameter.
    HVALUE *put() {
        reset();
        return &h_;
    }

private:
    HVALUE h_ = nullptr;
};

} // namespace quillon

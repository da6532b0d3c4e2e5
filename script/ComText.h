// Owning wrappers for BSTR and VARIANT, and the narrow <-> wide text
// conversions that the script host uses (always the thread's ANSI code page).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace quillon {

// Narrow text of a wide string; a null pointer gives "".
std::string NarrowFromWide(const wchar_t *text);

// A new BSTR holding the narrow text (null pointer = ""); null when out of memory.
BSTR AllocBstr(const char *text);

class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR owned) : s_(owned) {}
    explicit UniqueBstr(const char *text) : s_(AllocBstr(text)) {}
    UniqueBstr(const UniqueBstr &) = delete;
    UniqueBstr &operator=(const UniqueBstr &) = delete;
    UniqueBstr(UniqueBstr &&other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    UniqueBstr &operator=(UniqueBstr &&other) noexcept {
        if (this != &other) reset(std::exchange(other.s_, nullptr));
        return *this;
    }
    ~UniqueBstr() { reset(); }

    BSTR get() const { return s_; }
    BSTR *put() {
        reset();
        return &s_;
    }
    void reset(BSTR owned = nullptr) {
        BSTR old = std::exchange(s_, owned);
        if (old) SysFreeString(old);
    }

private:
    BSTR s_ = nullptr;
};

class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    UniqueVariant(const UniqueVariant &) = delete;
    UniqueVariant &operator=(const UniqueVariant &) = delete;
    ~UniqueVariant() { VariantClear(&v_); }

    VARIANT &get() { return v_; }
    const VARIANT &get() const { return v_; }

private:
    VARIANT v_;
};

} // namespace quillon

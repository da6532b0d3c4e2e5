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
    explicit UniqueBstr(const char *text) : s_(AllocBstr(text)) {}
    UniqueBstr(const UniqueBstr &) = delete;
    UniqueBstr &operator=(const UniqueBstr &) = delete;
    ~UniqueBstr() { SysFreeString(s_); }

    BSTR get() const { return s_; }
    // For functions that hand out a new BSTR through an out parameter.
    BSTR *put() {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
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

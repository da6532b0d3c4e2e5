// Small RAII helpers for COM pointers, kernel handles and critical sections.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <utility>

namespace quillon {

// Runs body, a COM method's or an export's work, and answers E_OUTOFMEMORY
// when it throws (the C++ library throws when memory runs out): no C++
// exception may unwind into the caller's frames.
template <class Body>
HRESULT NoThrow(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Adds a reference to a borrowed pointer.
    explicit ComPtr(T *borrowed) : p_(borrowed) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr &other) : ComPtr(other.p_) {}
    ComPtr(ComPtr &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr &operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes over a reference that the caller owns.
    static ComPtr Attach(T *owned) {
        ComPtr result;
        result.p_ = owned;
        return result;
    }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T *detach() { return std::exchange(p_, nullptr); }
    void reset() {
        if (T *old = std::exchange(p_, nullptr)) old->Release();
    }
    T **put() {
        reset();
        return &p_;
    }
    void **put_void() { return reinterpret_cast<void **>(put()); }

private:
    T *p_ = nullptr;
};

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    UniqueHandle(UniqueHandle &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept {
        if (this != &other) reset(std::exchange(other.h_, nullptr));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        HANDLE old = std::exchange(h_, h);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
    }

private:
    HANDLE h_ = nullptr;
};

class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    bool TryEnter() { return TryEnterCriticalSection(&cs_) != FALSE; }
    void Leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class ScopedLock {
public:
    explicit ScopedLock(CriticalSection &cs) : cs_(cs) { cs_.Enter(); }
    ~ScopedLock() { cs_.Leave(); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

private:
    CriticalSection &cs_;
};

} // namespace quillon

// A growable byte buffer for one frame: small frames live in the object
// itself, larger ones move to a heap block.
#pragma once

#include <windows.h>

#include <cstdint>

namespace quillon {

class CFrameBuffer {
public:
    static constexpr uint32_t InsideCapacity = 1024;
    // Growth beyond the inside storage goes in steps of this size.
    static constexpr uint32_t GrowthStep = 4096;

    CFrameBuffer();
    ~CFrameBuffer();
    CFrameBuffer(const CFrameBuffer &) = delete;
    CFrameBuffer &operator=(const CFrameBuffer &) = delete;

    // Makes room for total bytes; the content is kept and new room is zeroed.
    // On E_OUTOFMEMORY the buffer is reset and marked failed.
    HRESULT Reserve(uint32_t total);
    HRESULT Append(const void *bytes, uint32_t count);
    // Grows the content by count zeroed bytes and gives their address.
    HRESULT Extend(uint32_t count, BYTE **added);
    void Reset();

    BYTE *Data() const { return data_; }
    uint32_t Length() const { return length_; }
    uint32_t Capacity() const { return capacity_; }
    bool Failed() const { return failed_; }

private:
    bool OnHeap() const { return data_ != inside_; }

    uint32_t capacity_ = InsideCapacity;
    uint32_t length_ = 0;
    BYTE inside_[InsideCapacity] = {};
    BYTE *data_ = inside_;
    bool failed_ = false;
};

} // namespace quillon

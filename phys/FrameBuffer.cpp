#include "phys/FrameBuffer.h"

#include <cstdlib>
#include <cstring>

namespace quillon {

CFrameBuffer::CFrameBuffer() = default;

CFrameBuffer::~CFrameBuffer() { Reset(); }

HRESULT CFrameBuffer::Reserve(uint32_t total) {
    if (capacity_ >= total) return S_OK;
    const uint64_t rounded = (uint64_t{total} + GrowthStep - 1) / GrowthStep * GrowthStep;
    BYTE *block = nullptr;
    if (rounded <= UINT32_MAX) {
        if (OnHeap()) {
            block = static_cast<BYTE *>(std::realloc(data_, static_cast<size_t>(rounded)));
        } else {
            block = static_cast<BYTE *>(std::malloc(static_cast<size_t>(rounded)));
            if (block) std::memcpy(block, inside_, sizeof inside_);
        }
    }
    if (!block) {
        Reset();
        failed_ = true;
        return E_OUTOFMEMORY;
    }
    std::memset(block + capacity_, 0, static_cast<size_t>(rounded - capacity_));
    data_ = block;
    capacity_ = static_cast<uint32_t>(rounded);
    return S_OK;
}

HRESULT CFrameBuffer::Append(const void *bytes, uint32_t count) {
    if (!bytes && count) return E_POINTER;
    BYTE *added = nullptr;
    const HRESULT result = Extend(count, &added);
    if (SUCCEEDED(result) && count) std::memcpy(added, bytes, count);
    return result;
}

HRESULT CFrameBuffer::Extend(uint32_t count, BYTE **added) {
    if (!added) return E_POINTER;
    *added = nullptr;
    if (count > UINT32_MAX - length_) {
        Reset();
        failed_ = true;
        return E_OUTOFMEMORY;
    }
    const HRESULT result = Reserve(length_ + count);
    if (FAILED(result)) return result;
    *added = data_ + length_;
    length_ += count;
    return S_OK;
}

void CFrameBuffer::Reset() {
    if (OnHeap()) std::free(data_);
    data_ = inside_;
    length_ = 0;
    capacity_ = InsideCapacity;
    failed_ = false;
    std::memset(inside_, 0, sizeof inside_);
}

} // namespace quillon

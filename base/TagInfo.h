// The packed tag descriptor exchanged by tag validation.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <cstdint>

namespace quillon {

// Access flags of a tag.
constexpr uint32_t TAG_ACCESS_NO_READ = 0x01;
constexpr uint32_t TAG_ACCESS_NO_WRITE = 0x02;

#pragma pack(push, 1)
struct TagInfo {
    uint8_t type;           // value type code
    uint16_t blockSize;     // elements for block operations, 0 for single values
    int16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint32_t flags;         // TAG_ACCESS_*
    IUnknown *tagObject;    // attached by validation; the receiver releases it
};
#pragma pack(pop)

static_assert(offsetof(TagInfo, blockSize) == 1);
static_assert(offsetof(TagInfo, n1) == 3);
static_assert(offsetof(TagInfo, n2) == 5);
static_assert(offsetof(TagInfo, n3) == 7);
static_assert(offsetof(TagInfo, n4) == 9);
static_assert(offsetof(TagInfo, flags) == 11);
static_assert(offsetof(TagInfo, tagObject) == 15);
static_assert(sizeof(TagInfo) == 15 + sizeof(void *));

} // namespace quillon

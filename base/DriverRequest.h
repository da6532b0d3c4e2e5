// The request record that the host passes to drvIO, and its operation codes.
#pragma once

#include "values/hvcore.h"

#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <cstdint>

namespace quillon {

// Operation codes are bit sets: bit 0 read, bit 1 write, bit 2 single value,
// bit 3 block, bit 4 block element, bit 5 mask.
enum DriverOperation : uint16_t {
    OP_READ_VALUE = 5,
    OP_WRITE_VALUE = 6,
    OP_READ_BLOCK = 9,
    OP_WRITE_BLOCK = 10,
    OP_READ_BLOCK_ELEMENT = 25,
    OP_WRITE_BLOCK_ELEMENT = 26,
    OP_MASK_WRITE_VALUE = 38,
    OP_MASK_WRITE_BLOCK_ELEMENT = 58,
};

constexpr uint16_t OP_BIT_READ = 0x01;
constexpr uint16_t OP_BIT_WRITE = 0x02;
constexpr uint16_t OP_BIT_BLOCK = 0x08;
constexpr uint16_t OP_BIT_ELEMENT = 0x10;
constexpr uint16_t OP_BIT_MASK = 0x20;

// Request flags: the tag was validated beforehand.
constexpr uint32_t REQUEST_FLAG_VALIDATED = 0x02;

// Records of this version and above are used in place; older ones are
// converted into a record of the current layout that keeps their version.
constexpr uint16_t REQUEST_VERSION_CURRENT = 6;
constexpr uint16_t REQUEST_VERSION_IN_PLACE = 3;

#pragma pack(push, 1)
struct DriverRequest {
    uint16_t version;
    uint16_t operation;
    uint16_t elementCount;
    uint16_t firstElement;
    uint16_t blockSize;     // 1 for single values; scripts see it as Size
    int16_t n1;
    uint16_t n2;
    uint16_t n3;
    uint16_t n4;
    uint16_t unused18;
    uint32_t mask1;
    uint32_t mask2;
    uint8_t maskByte1;
    uint8_t maskByte2;
    uint16_t unused30;
    HVALUE value;
    HVALUE message;         // read only from version 2 on
    void *hostField40;      // the host's; not read by the driver
    uint32_t flags;
    IUnknown *tagObject;
    const wchar_t *paramDevice;
    const wchar_t *paramItem;
    void *hostField60;      // the host's; not read by the driver
};
#pragma pack(pop)

static_assert(offsetof(DriverRequest, operation) == 2);
static_assert(offsetof(DriverRequest, blockSize) == 8);
static_assert(offsetof(DriverRequest, n1) == 10);
static_assert(offsetof(DriverRequest, n4) == 16);
static_assert(offsetof(DriverRequest, mask1) == 20);
static_assert(offsetof(DriverRequest, mask2) == 24);
static_assert(offsetof(DriverRequest, maskByte1) == 28);
static_assert(offsetof(DriverRequest, maskByte2) == 29);
static_assert(offsetof(DriverRequest, value) == 32);
#if defined(_WIN64)
// The 64-bit build (used to run the tests where 32-bit code cannot run)
// keeps the order of the fields with pointers of 8 bytes.
static_assert(offsetof(DriverRequest, flags) == 56);
static_assert(sizeof(DriverRequest) == 92);
#else
static_assert(offsetof(DriverRequest, message) == 36);
static_assert(offsetof(DriverRequest, hostField40) == 40);
static_assert(offsetof(DriverRequest, flags) == 44);
static_assert(offsetof(DriverRequest, tagObject) == 48);
static_assert(offsetof(DriverRequest, paramDevice) == 52);
static_assert(offsetof(DriverRequest, paramItem) == 56);
static_assert(offsetof(DriverRequest, hostField60) == 60);
static_assert(sizeof(DriverRequest) == 64);
#endif

} // namespace quillon

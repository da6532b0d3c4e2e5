// The driver's control tags: tags addressed with N1 = -1 that reach the
// toolkit itself (events, physical layer, modem, Ethernet and configuration
// parameters) instead of a device.
#pragma once

#include "base/TagBrowser.h"
#include "base/TagInfo.h"

#include <windows.h>
#include <cstdint>

namespace quillon {

// Folders of the tag browser; 0 ends the table.
constexpr int CONTROL_GROUP_END = 0;
constexpr int CONTROL_GROUP_GENERAL = 1;
constexpr int CONTROL_GROUP_MODEM = 2;
constexpr int CONTROL_GROUP_ETHERNET = 3;
constexpr int CONTROL_GROUP_PARAMETERS = 4;

// Value type codes of the control tags.
constexpr uint8_t CONTROL_TYPE_U16 = 4;
constexpr uint8_t CONTROL_TYPE_I32 = 5;
constexpr uint8_t CONTROL_TYPE_U32 = 6;
constexpr uint8_t CONTROL_TYPE_STR = 9;
constexpr uint8_t CONTROL_TYPE_HVAL = 10;

// Attribute flags of an entry.
constexpr uint32_t CONTROL_ATTR_READABLE = 0x01;
constexpr uint32_t CONTROL_ATTR_WRITABLE = 0x02;
constexpr uint32_t CONTROL_ATTR_ANY_BLOCK_SIZE = 0x04;  // accepted with or without a block size
constexpr uint32_t CONTROL_ATTR_EVENTS_BLOCK = 0x08;
constexpr uint32_t CONTROL_ATTR_COMMAND = 0x10;
constexpr uint32_t CONTROL_ATTR_PARAMETER = 0x20;       // one configuration parameter

struct ControlTagElement {
    const char *name;
    unsigned helpId;
};

struct ControlTagEntry {
    int group;                  // CONTROL_GROUP_*
    const char *name;           // displayed name and item text
    unsigned helpId;            // string table identifier of the help text
    uint8_t type;               // CONTROL_TYPE_*
    uint32_t attributes;        // CONTROL_ATTR_*
    uint16_t elementCount;      // block elements, 0 for single values
    int16_t n1;
    uint16_t n2, n3, n4;
    const ControlTagElement *elements;  // elementCount entries, or null
};

// All control tags, by group; the last entry has group CONTROL_GROUP_END.
extern const ControlTagEntry ControlTagTable[];

// TAG_ACCESS_* flags of an entry.
uint32_t AccessRestrictionFlags(const ControlTagEntry &entry);

// Where several entries share a name or an address the later one wins, so
// the configuration parameters (last in the table) take precedence.
const ControlTagEntry *FindControlTagByName(const char *name);  // case-insensitive
const ControlTagEntry *FindControlTagByAddress(uint16_t n3, uint16_t n4);

// Fills the address, block size, access flags and type of the named control
// tag. Returns 0, or E_FAIL when no control tag has that name.
HRESULT ValidateControlTagByName(const wchar_t *item, TagInfo *info);

// Checks an address (N1 = -1, N2 = 0) and block size against the table.
// Returns 0 or E_FAIL.
HRESULT ValidateControlTagByNumber(const TagInfo *info);

// Adds the "Chanfer" folder with one folder per group and the control tags
// below it. Texts come from the string table of textModule. Returns the
// status of a failed root folder, otherwise 0.
HRESULT AddControlTagTree(IIOTagBrowser *browser, HINSTANCE textModule);

} // namespace quillon

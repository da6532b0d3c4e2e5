// The host's tag browser, which receives the tree of the driver's own tags.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <cstdint>

namespace quillon {

enum BrowserItemKind : uint32_t {
    BROWSER_FOLDER = 1,
    BROWSER_TAG = 4,
    BROWSER_BLOCK = 5,
    BROWSER_BLOCK_ELEMENT = 6,
};

// The record handed to the browser for every node; all other bytes are zero.
#pragma pack(push, 1)
struct BrowserItem {
    uint32_t size;              // sizeof(BrowserItem) (68 in 32-bit builds)
    uint32_t kind;              // BrowserItemKind
    uint32_t reserved8;
    const char *name;           // displayed name
    uint32_t reserved16;
    const char *description;
    uint32_t reserved24[3];
    const char *itemText;       // tags and blocks: the item text that addresses the tag
    uint32_t reserved40;
    uint32_t accessFlags;       // tags and blocks: TAG_ACCESS_*
    uint32_t countOrIndex;      // blocks: element count; block elements: element index
    uint32_t reserved52[4];
};
#pragma pack(pop)

#if !defined(_WIN64)
static_assert(offsetof(BrowserItem, name) == 12);
static_assert(offsetof(BrowserItem, description) == 20);
static_assert(offsetof(BrowserItem, itemText) == 36);
static_assert(offsetof(BrowserItem, accessFlags) == 44);
static_assert(offsetof(BrowserItem, countOrIndex) == 48);
static_assert(sizeof(BrowserItem) == 68);
#endif

// A node of the browser's tree. Items are added below `parent` (null for the
// browser's own root); `node`, when given, receives the new node, which is
// the parent for items added below it.
struct IIOTagBrowser : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddItem(IIOTagBrowser *parent, const BrowserItem *item, IIOTagBrowser **node,
                                              DWORD reserved) = 0;
};

} // namespace quillon

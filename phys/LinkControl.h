// What a reader of the link needs beyond IIOInterface's reads, which wait
// for as long as the link's own receive time-out: a wait for received bytes
// that ends at the reader's deadline and when the link stops. A link
// answers it through QueryInterface; called on the link thread only.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace quillon {

struct IIOLinkControl : IUnknown {
    // Waits at most ms until received bytes wait to be read or the link is
    // stopping; the number of bytes waiting (0 when none).
    virtual DWORD STDMETHODCALLTYPE WaitForInput(DWORD ms) = 0;
    // Nonzero once the link has been asked to stop.
    virtual BOOL STDMETHODCALLTYPE IsStopping() = 0;
};

} // namespace quillon

// GCC ignores the uuid attribute; MinGW's own declaration serves __uuidof.
__CRT_UUID_DECL(quillon::IIOLinkControl, 0xA704B54E, 0xD23E, 0x49D3, 0x8E, 0x42, 0xF0, 0xF1, 0x6F, 0x2C, 0x59, 0xDD)

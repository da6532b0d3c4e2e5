#include "phys/MessagePump.h"

#include <windows.h>

namespace quillon {

unsigned PumpMessages(unsigned limit) {
    unsigned dispatched = 0;
    MSG message;
    while ((limit == 0 || dispatched < limit) && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
        ++dispatched;
    }
    return dispatched;
}

} // namespace quillon

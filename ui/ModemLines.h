// The modems that Windows telephony offers, and their configuration dialog.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {

struct ModemLine {
    std::string name;
    DWORD permanentId;
};

// The line devices that handle data modem calls; empty when telephony
// offers none or cannot be initialised.
std::vector<ModemLine> InstalledModems();

// Shows the telephony configuration dialog of the modem with the given
// permanent identifier (0: the first modem), owned by owner. False when
// there is no such modem or the dialog cannot be shown.
bool ShowModemSettings(HWND owner, DWORD permanentId);

} // namespace quillon

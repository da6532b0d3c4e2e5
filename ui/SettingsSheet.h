// The modal settings sheet: the driver's own pages first, then the
// toolkit's Setup, Serial, Ethernet, Modem and RAS pages, all editing one
// configuration store.
#pragma once

#include <windows.h>

#include <vector>

namespace quillon {

class CConfigData;
class CPropertyPage;

// S_OK when the user closed the sheet with OK, E_FAIL otherwise (the store
// may then hold edits the caller discards), E_POINTER without a name,
// E_INVALIDARG when parent is neither null nor a window.
HRESULT ShowSettingsSheet(const char *driverName, CConfigData &config, const std::vector<CPropertyPage *> &extraPages,
                          HWND parent);

} // namespace quillon

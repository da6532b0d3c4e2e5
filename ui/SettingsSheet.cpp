#include "ui/SettingsSheet.h"

#include "base/DriverInterfaces.h"
#include "base/Module.h"
#include "ui/EthernetPage.h"
#include "ui/ModemPage.h"
#include "ui/RASPage.h"
#include "ui/SerialPage.h"
#include "ui/SetupPage.h"

#include <commctrl.h>

#include <cstdio>

namespace quillon {

HRESULT ShowSettingsSheet(const char *driverName, CConfigData &config, const std::vector<CPropertyPage *> &extraPages,
                          HWND parent) {
    if (!driverName) return E_POINTER;
    if (parent && !IsWindow(parent)) return E_INVALIDARG;

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    CSetupPage setup(config);
    CSerialPage serial(config);
    CEthernetPage ethernet(config);
    CModemPage modem(config);
    CRASPage ras(config);
    std::vector<CPropertyPage *> pages(extraPages);
    for (CPropertyPage *page : {static_cast<CPropertyPage *>(&setup), static_cast<CPropertyPage *>(&serial),
                                static_cast<CPropertyPage *>(&ethernet), static_cast<CPropertyPage *>(&modem),
                                static_cast<CPropertyPage *>(&ras)})
        pages.push_back(page);

    // Set by the pages' apply notifications: only OK sends them (the sheet
    // has no Apply button), and the last one tells whether every page took
    // its controls.
    bool accepted = false;
    std::vector<PROPSHEETPAGEW> descriptions;
    for (CPropertyPage *page : pages)
        if (page) descriptions.push_back(page->Describe(&accepted));

    char caption[256];
    snprintf(caption, sizeof caption, "%s (Chanfer v%s)", driverName, TOOLKIT_VERSION_TEXT);
    wchar_t wideCaption[256];
    MultiByteToWideChar(CP_ACP, 0, caption, -1, wideCaption, 256);

    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW;
    header.hwndParent = parent;
    header.hInstance = ThisModule();
    header.pszCaption = wideCaption;
    header.nPages = static_cast<UINT>(descriptions.size());
    header.ppsp = descriptions.data();
    const INT_PTR result = PropertySheetW(&header);
    return result >= 0 && accepted ? S_OK : E_FAIL;
}

} // namespace quillon

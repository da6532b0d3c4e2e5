#include "ui/ModemPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "ui/ModemLines.h"
#include "ui/SettingsResource.h"

namespace quillon {
namespace {

// Shows the wait cursor while it lives.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514) /* IDC_WAIT */))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

private:
    HCURSOR previous_;
};

} // namespace

CModemPage::CModemPage(CConfigData &config) : CPropertyPage(IDD_MODEM_PAGE, config) {}

void CModemPage::Load() {
    const CConfigData &config = Config();
    modemId_ = config.GetU32(param::TAPIModemID, 0);
    HWND list = Control(IDC_MODEM_LIST);
    if (!modemsFilled_) {
        if (modemId_ != 0) {
            FillModems();
        } else {
            // Telephony is asked only when the user opens the list.
            SendMessageW(list, CB_RESETCONTENT, 0, 0);
            SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("(default modem)"));
            SendMessageW(list, CB_SETITEMDATA, 0, 0);
            Select(IDC_MODEM_LIST, 0);
        }
    } else {
        int found = -1;
        const int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count && found < 0; ++i)
            if (static_cast<DWORD>(SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)) == modemId_) found = i;
        Select(IDC_MODEM_LIST, found);
    }
    SetText(IDC_MODEM_NUMBER, config.GetString(param::TAPIPhoneNumber, ""));
    SetChecked(IDC_MODEM_ACCEPT, config.GetI32(param::TAPIAcceptIncoming, 0) != 0);
}

void CModemPage::FillModems() {
    WaitCursor wait;
    HWND list = Control(IDC_MODEM_LIST);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("(default modem)"));
    SendMessageW(list, CB_SETITEMDATA, 0, 0);
    int selected = modemId_ == 0 ? 0 : -1;
    for (const ModemLine &modem : InstalledModems()) {
        const int index =
            static_cast<int>(SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(modem.name.c_str())));
        if (index < 0) continue;
        SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), modem.permanentId);
        if (modem.permanentId == modemId_) selected = index;
    }
    modemsFilled_ = true;
    Select(IDC_MODEM_LIST, selected);
}

bool CModemPage::Store() {
    CConfigData &config = Config();
    // A configured modem that is not installed here shows no selection and
    // keeps its identifier.
    const int selected = Selection(IDC_MODEM_LIST);
    if (selected != CB_ERR) {
        modemId_ = static_cast<DWORD>(SendMessageW(Control(IDC_MODEM_LIST), CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
        config.SetU32(param::TAPIModemID, modemId_);
    }
    config.SetString(param::TAPIPhoneNumber, Text(IDC_MODEM_NUMBER).c_str());
    config.SetI32(param::TAPIAcceptIncoming, Checked(IDC_MODEM_ACCEPT) ? 1 : 0);
    return true;
}

void CModemPage::UpdateControls() {
    const bool modem = lstrcmpiA(Config().GetString(param::Type, "").c_str(), "Modem") == 0;
    Enable({IDC_MODEM_LIST, IDC_MODEM_LIST_LABEL, IDC_MODEM_NUMBER, IDC_MODEM_NUMBER_LABEL, IDC_MODEM_ACCEPT,
            IDC_MODEM_SETTINGS},
           modem);
}

void CModemPage::OpenModemSettings() {
    Store();
    bool shown;
    {
        WaitCursor wait;
        shown = ShowModemSettings(Window(), modemId_);
    }
    if (!shown) Message("Failed to open modem settings dialog!", MB_OK | MB_ICONEXCLAMATION);
}

bool CModemPage::OnCommand(int id, int code) {
    if (id == IDC_MODEM_LIST && code == CBN_DROPDOWN) {
        if (!modemsFilled_) {
            // Keep the user's current choice across the refill.
            const int selected = Selection(IDC_MODEM_LIST);
            if (selected == 0) modemId_ = 0;
            FillModems();
        }
        return true;
    }
    if (id == IDC_MODEM_SETTINGS && code == BN_CLICKED) {
        OpenModemSettings();
        return true;
    }
    return false;
}

} // namespace quillon

#include "ui/SetupPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "base/Module.h"
#include "ui/SettingsResource.h"

namespace quillon {
namespace {

const char *const PHYSICAL_LAYERS[] = {"None", "Serial", "Ethernet", "Modem", "RAS"};

} // namespace

CSetupPage::CSetupPage(CConfigData &config) : CPropertyPage(IDD_SETUP_PAGE, config) {}

void CSetupPage::Initialise() {
    FillCombo(IDC_SETUP_TYPE, IDS_ITEMS_PHYSICAL_LAYER);
    FillCombo(IDC_SETUP_MODE, IDS_ITEMS_CONNECTION_MODE);
}

void CSetupPage::Load() {
    const CConfigData &config = Config();
    const std::string type = config.GetString(param::Type, "");
    int index = 0;
    for (int i = 0; i < 5; ++i)
        if (lstrcmpiA(type.c_str(), PHYSICAL_LAYERS[i]) == 0) index = i;
    Select(IDC_SETUP_TYPE, index);
    SetUnsigned(IDC_SETUP_TIMEOUT, config.GetU32(param::TimeoutMs, 0));
    SetChecked(IDC_SETUP_START_OFFLINE, config.GetI32(param::StartOffline, 0) != 0);
    Select(IDC_SETUP_MODE, config.GetU32(param::ConnectionMode, 0) == 1 ? 1 : 0);
    SetChecked(IDC_SETUP_RECOVER, config.GetI32(param::RecoverEnable, 0) != 0);
    SetUnsigned(IDC_SETUP_RECOVER_PERIOD, config.GetU32(param::RecoverPeriodSec, 60));
    SetChecked(IDC_SETUP_GIVE_UP, config.GetI32(param::GiveUpEnable, 0) != 0);
    SetUnsigned(IDC_SETUP_GIVE_UP_TRIES, config.GetU32(param::GiveUpTries, 1));
    SetChecked(IDC_SETUP_INACTIVITY, config.GetI32(param::InactivityEnable, 0) != 0);
    SetUnsigned(IDC_SETUP_INACTIVITY_PERIOD, config.GetU32(param::InactivityPeriodSec, 0));
    SetChecked(IDC_SETUP_LOG, config.GetI32(param::LogEnable, 0) != 0);
    SetText(IDC_SETUP_LOG_FILE, config.GetString(param::LogFilename, ""));
    SetChecked(IDC_SETUP_DEBUG, config.GetI32(param::Debug, 0) != 0);
}

bool CSetupPage::Store() {
    std::optional<uint32_t> timeout, recoverPeriod, giveUpTries, inactivityPeriod;
    if (!ReadUnsigned(IDC_SETUP_TIMEOUT, "Timeout", 0, 0xFFFFFFFF, timeout) ||
        !ReadUnsigned(IDC_SETUP_RECOVER_PERIOD, "Retry failed connection every", 0, 0xFFFFFFFF, recoverPeriod) ||
        !ReadUnsigned(IDC_SETUP_GIVE_UP_TRIES, "Give up after", 0, 0xFFFFFFFF, giveUpTries) ||
        !ReadUnsigned(IDC_SETUP_INACTIVITY_PERIOD, "Disconnect if non-responsive for", 0, 0xFFFFFFFF,
                      inactivityPeriod))
        return false;
    CConfigData &config = Config();
    const int type = Selection(IDC_SETUP_TYPE);
    config.SetString(param::Type, PHYSICAL_LAYERS[type >= 0 && type < 5 ? type : 0]);
    StoreUnsigned(param::TimeoutMs, timeout);
    config.SetI32(param::StartOffline, Checked(IDC_SETUP_START_OFFLINE) ? 1 : 0);
    config.SetU32(param::ConnectionMode, Selection(IDC_SETUP_MODE) == 1 ? 1 : 0);
    config.SetI32(param::RecoverEnable, Checked(IDC_SETUP_RECOVER) ? 1 : 0);
    StoreUnsigned(param::RecoverPeriodSec, recoverPeriod);
    config.SetI32(param::GiveUpEnable, Checked(IDC_SETUP_GIVE_UP) ? 1 : 0);
    StoreUnsigned(param::GiveUpTries, giveUpTries);
    config.SetI32(param::InactivityEnable, Checked(IDC_SETUP_INACTIVITY) ? 1 : 0);
    StoreUnsigned(param::InactivityPeriodSec, inactivityPeriod);
    config.SetI32(param::LogEnable, Checked(IDC_SETUP_LOG) ? 1 : 0);
    config.SetString(param::LogFilename, Text(IDC_SETUP_LOG_FILE).c_str());
    config.SetI32(param::Debug, Checked(IDC_SETUP_DEBUG) ? 1 : 0);
    return true;
}

void CSetupPage::UpdateControls() {
    const bool automatic = Selection(IDC_SETUP_MODE) == 0;
    const bool recover = automatic && Checked(IDC_SETUP_RECOVER);
    const bool giveUp = recover && Checked(IDC_SETUP_GIVE_UP);
    Enable(IDC_SETUP_RECOVER, automatic);
    Enable({IDC_SETUP_RECOVER_PERIOD, IDC_SETUP_RECOVER_LABEL, IDC_SETUP_GIVE_UP}, recover);
    Enable({IDC_SETUP_GIVE_UP_TRIES, IDC_SETUP_GIVE_UP_LABEL}, giveUp);
    Enable(IDC_SETUP_LOG_FILE, Checked(IDC_SETUP_LOG));
    Enable(IDC_SETUP_INACTIVITY, true);
    Enable({IDC_SETUP_INACTIVITY_PERIOD, IDC_SETUP_INACTIVITY_LABEL}, Checked(IDC_SETUP_INACTIVITY));
}

bool CSetupPage::OnCommand(int id, int code) {
    switch (id) {
    case IDC_SETUP_LOG:
    case IDC_SETUP_RECOVER:
    case IDC_SETUP_GIVE_UP:
    case IDC_SETUP_INACTIVITY:
        if (code != BN_CLICKED) return false;
        StoreAndUpdate();
        return true;
    case IDC_SETUP_MODE:
        if (code != CBN_SELCHANGE) return false;
        StoreAndUpdate();
        return true;
    case IDC_SETUP_START_OFFLINE:
        if (code != BN_CLICKED) return false;
        ConfirmStartOffline();
        return true;
    default:
        return false;
    }
}

// Starting offline silences the driver until the application switches it
// online, so the user confirms it.
void CSetupPage::ConfirmStartOffline() {
    Store();
    if (!Checked(IDC_SETUP_START_OFFLINE)) return;
    wchar_t question[1024] = L"";
    LoadStringW(ThisModule(), IDS_START_OFFLINE_QUESTION, question, 1024);
    // No takes back only the box: the page's other edits stay as typed,
    // also those that its store refused.
    if (Message(std::wstring(question), MB_YESNO | MB_ICONQUESTION) == IDNO) {
        SetChecked(IDC_SETUP_START_OFFLINE, false);
        Config().SetI32(param::StartOffline, 0);
    }
}

} // namespace quillon

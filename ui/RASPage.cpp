#include "ui/RASPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "ui/SettingsResource.h"

namespace quillon {

CRASPage::CRASPage(CConfigData &config) : CPropertyPage(IDD_RAS_PAGE, config) {}

void CRASPage::Load() {
    SetText(IDC_RAS_COMMAND, Config().GetString(param::RASATCommand, ""));
    SetUnsigned(IDC_RAS_TIMEOUT, Config().GetU32(param::RASCommandTimeoutSec, 0));
}

bool CRASPage::Store() {
    std::optional<uint32_t> timeout;
    if (!ReadUnsigned(IDC_RAS_TIMEOUT, "Connection timeout", 0, 0xFFFFFFFF, timeout)) return false;
    Config().SetString(param::RASATCommand, Text(IDC_RAS_COMMAND).c_str());
    StoreUnsigned(param::RASCommandTimeoutSec, timeout);
    return true;
}

void CRASPage::UpdateControls() {
    const bool ras = lstrcmpiA(Config().GetString(param::Type, "").c_str(), "RAS") == 0;
    Enable({IDC_RAS_COMMAND, IDC_RAS_COMMAND_LABEL, IDC_RAS_TIMEOUT, IDC_RAS_TIMEOUT_LABEL, IDC_RAS_TIMEOUT_UNIT}, ras);
}

} // namespace quillon

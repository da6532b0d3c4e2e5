// The Modem page: which modem the modem link dials with, the number, and
// whether it answers calls.
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CModemPage : public CPropertyPage {
public:
    explicit CModemPage(CConfigData &config);

protected:
    void Load() override;
    bool Store() override;
    void UpdateControls() override;
    bool OnCommand(int id, int code) override;

private:
    // Asks telephony for the modems, once per page, and selects the
    // configured one.
    void FillModems();
    void OpenModemSettings();

    bool modemsFilled_ = false;
    DWORD modemId_ = 0;
};

} // namespace quillon

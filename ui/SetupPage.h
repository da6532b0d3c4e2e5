// The Setup page: link type, timeout, connection management and log file.
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CSetupPage : public CPropertyPage {
public:
    explicit CSetupPage(CConfigData &config);

protected:
    void Initialise() override;
    void Load() override;
    bool Store() override;
    void UpdateControls() override;
    bool OnCommand(int id, int code) override;

private:
    void ConfirmStartOffline();
};

} // namespace quillon

// The RAS page: the dial command and the connection time-out of the RAS
// link (its socket settings are the Ethernet page's).
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CRASPage : public CPropertyPage {
public:
    explicit CRASPage(CConfigData &config);

protected:
    void Load() override;
    bool Store() override;
    void UpdateControls() override;
};

} // namespace quillon

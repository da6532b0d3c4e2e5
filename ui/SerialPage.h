// The Serial page: port, line settings, handshaking and timing of the
// serial link (the inter-byte delay also serves the modem link).
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CSerialPage : public CPropertyPage {
public:
    explicit CSerialPage(CConfigData &config);

protected:
    void Initialise() override;
    void Load() override;
    bool Store() override;
    void UpdateControls() override;
    bool OnCommand(int id, int code) override;
};

} // namespace quillon

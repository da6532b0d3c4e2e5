// The Ethernet page: transport, listening, main and backup addresses, ping
// (also used by the RAS link, which dials through a socket).
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CEthernetPage : public CPropertyPage {
public:
    explicit CEthernetPage(CConfigData &config);

protected:
    void Initialise() override;
    void Load() override;
    bool Store() override;
    void UpdateControls() override;
    bool OnCommand(int id, int code) override;

private:
    // Refills the local IP list for the family the "Use IPv6" box shows and
    // selects the entry that was selected, else the configured address,
    // else "(All Interfaces)".
    void FillLocalAddresses();

    bool localAddressesFilled_ = false;
};

} // namespace quillon

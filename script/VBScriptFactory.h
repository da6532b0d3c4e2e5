// The driver object of the script driver.
#pragma once

#include "toolkit/IOFactory.h"

namespace quillon {

class CVBScriptFactory : public CIOFactory {
public:
    using CIOFactory::CIOFactory;

    CIOHost *CreateHost(DWORD a, DWORD b, DWORD c, DWORD d) override;
    void SetDefaultSettings(CConfigData &config) override;
    CPropertyPage *GetSettingsPage(CConfigData &config, unsigned index) override;
    HRESULT ValidateStringTag(const wchar_t *device, const wchar_t *item, TagInfo *info) override;
};

} // namespace quillon

#include "script/VBScriptFactory.h"

#include "base/DriverInterfaces.h"
#include "script/VBScriptHost.h"
#include "script/VBScriptPropertyPage.h"

#include <new>

namespace quillon {

CIOHost *CVBScriptFactory::CreateHost(DWORD, DWORD, DWORD, DWORD) {
    ComPtr<CVBScriptHost> host = ComPtr<CVBScriptHost>::Attach(new (std::nothrow) CVBScriptHost(GetGlobals(), Settings()));
    if (!host) return nullptr;
    std::string message;
    if (FAILED(host->StartScript(message))) {
        Log(LOG_DRIVER, "%s", message.c_str());
        // No OnStop for a script that did not start.
        host->AbandonScript();
        return nullptr;
    }
    return host.detach();
}

void CVBScriptFactory::SetDefaultSettings(CConfigData &config) { config.SetDriverDefaults(); }

// The script page only.
CPropertyPage *CVBScriptFactory::GetSettingsPage(CConfigData &config, unsigned index) {
    return index == 0 ? new (std::nothrow) CVBScriptPropertyPage(GetGlobals(), config) : nullptr;
}

HRESULT CVBScriptFactory::ValidateStringTag(const wchar_t *, const wchar_t *item, TagInfo *) {
    return item && *item ? S_OK : IO_E_TAG_NOT_ACCEPTED;
}

CIOFactory *CreateDriverFactory(IUnknown *hostObject) {
    CIOGlobals *globals = CIOGlobals::Create(hostObject);
    if (!globals) return nullptr;
    CIOFactory *factory = new (std::nothrow) CVBScriptFactory(globals);
    globals->Release();
    return factory;
}

} // namespace quillon

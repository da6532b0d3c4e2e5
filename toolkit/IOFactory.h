// The driver object that a host obtains: owns the settings handle and the
// configuration store, validates tags, and creates the driver host while
// communication is started.
#pragma once

#include "config/ConfigData.h"
#include "base/ComUtil.h"
#include "base/DriverInterfaces.h"
#include "log/IOGlobals.h"
#include "toolkit/IOHost.h"
#include "base/Module.h"

#include <string>

namespace quillon {

class CPropertyPage;

class CIOFactory : public IIODriverInstance, public IIOParseTag, public IIOImportTags, public IOApi {
public:
    explicit CIOFactory(CIOGlobals *globals);

    // IUnknown (shared by the three faces)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IIODriverInstance
    const char *STDMETHODCALLTYPE GetDriverName() override;
    HRESULT STDMETHODCALLTYPE SetSettingsHandle(HVALUE settings) override;
    HRESULT STDMETHODCALLTYPE DriverDialog(HWND parent) override;
    long STDMETHODCALLTYPE GetCaps() override;
    HRESULT STDMETHODCALLTYPE StartComm(DWORD a, DWORD b, DWORD c, DWORD d) override;
    HRESULT STDMETHODCALLTYPE StopComm(DWORD a, DWORD b, DWORD c, DWORD d) override;
    HRESULT STDMETHODCALLTYPE IO(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE GetStatus(const char *name, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE SetStatus(const char *name, HVALUE value) override;

    // IIOParseTag
    HRESULT STDMETHODCALLTYPE Validate(const wchar_t *device, const wchar_t *item, TagInfo *info) override;

    // IIOImportTags
    HRESULT STDMETHODCALLTYPE BrowseTags(IIOTagBrowser *browser) override;

    // Operations for specialisations.
    virtual void Shutdown() {}
    virtual CIOHost *CreateHost(DWORD a, DWORD b, DWORD c, DWORD d) = 0;
    virtual void SetDefaultSettings(CConfigData &) {}
    // The driver's own settings pages, shown before the toolkit's: a new
    // page for each index, null after the last. The caller deletes them.
    virtual CPropertyPage *GetSettingsPage(CConfigData &, unsigned) { return nullptr; }
    virtual HRESULT ValidateStringTag(const wchar_t *, const wchar_t *, TagInfo *) { return E_NOTIMPL; }
    virtual HRESULT ValidateNumericTag(TagInfo *) { return S_OK; }
    virtual HRESULT AddDriverTags(IIOTagBrowser *) { return S_OK; }

    HVALUE Settings() const { return settings_.get(); }
    CConfigData &Configuration() { return config_; }

protected:
    ~CIOFactory() override;

private:
    // Validates a request that was not validated beforehand, then
    // dispatches it to the driver host.
    HRESULT ValidateAndDispatch(CIOHost &host, DriverRequest *request, HVALUE value);
    // The current driver host with a reference added, or null.
    ComPtr<CIOHost> CurrentHost();

    volatile LONG refs_ = 1;
    HValue settings_;
    CConfigData config_;
    CriticalSection hostLock_;
    ComPtr<CIOHost> host_;
};

// Creates the driver object (reference count 1) with its own globals;
// null when the globals or the object cannot be created.
CIOFactory *CreateDriverFactory(IUnknown *hostObject);

} // namespace quillon

// The driver host of the script driver: compiles the user's script when
// communication starts and answers every tag request by running a script
// procedure with a Request and a Value object.
#pragma once

#include "driver/IOHost.h"
#include "script/DriverHostObject.h"
#include "script/VBScriptEngine.h"

#include <oaidl.h>
#include <string>

namespace quillon {

class CVBScriptHost : public CIOHost {
public:
    using CIOHost::CIOHost;

    // Loads the object descriptions, creates the DriverHost object and the
    // engine, compiles VBScript.Code, connects it and runs OnStart. On failure
    // message holds the reason.
    HRESULT StartScript(std::string &message);
    // Closes the engine without running OnStop (after a failed start).
    void AbandonScript();

    // The script driver has no frame protocol of its own.
    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *, CFrameBuffer *) override { return E_FAIL; }
    HRESULT STDMETHODCALLTYPE Read(DriverRequest *request, HVALUE value) override;
    HRESULT STDMETHODCALLTYPE Write(DriverRequest *request, HVALUE value) override;

    // Runs "<baseName>_<item>" or else baseName with a Request and a Value
    // object for the request.
    HRESULT RunRequest(DriverRequest *request, HVALUE value, const char *baseName);

protected:
    ~CVBScriptHost() override;

private:
    void CloseEngine();

    ComPtr<CVBScriptEngine> engine_;
    ComPtr<ITypeInfo> requestTypeInfo_;
    ComPtr<ITypeInfo> valueTypeInfo_;
    ComPtr<ITypeInfo> driverHostTypeInfo_;
    ComPtr<CDriverHostObject> driverHostObject_;
};

} // namespace quillon

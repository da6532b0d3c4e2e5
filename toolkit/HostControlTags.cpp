#include "config/ConfigParameters.h"
#include "base/ControlTags.h"
#include "toolkit/IOHost.h"
#include "base/ComText.h"

#include <string>
#include <vector>

namespace quillon {
namespace {

bool IsSingle(const DriverRequest &request, uint16_t operation) {
    return request.operation == operation && request.elementCount == 1 && request.blockSize == 1 &&
           request.firstElement == 0;
}

bool IsLogParameter(const char *name) {
    return lstrcmpiA(name, param::LogEnable) == 0 || lstrcmpiA(name, param::LogFilename) == 0;
}

HRESULT ReadEvents(CIOHost &host, const DriverRequest &request, HVALUE value) {
    if (request.operation != OP_READ_BLOCK || request.blockSize != 4 || request.elementCount != 4 ||
        request.firstElement != 0)
        return E_FAIL;
    hvSetType(value, HV_LIST, 0);
    host.DrainEvents(value);
    return S_OK;
}

HRESULT ReadLinkStatus(CIOHost &host, DriverRequest *request) {
    if (!IsSingle(*request, OP_READ_VALUE)) return E_FAIL;
    hvSetI32(request->value, LINK_STOPPED);
    ComPtr<IIOInterface> link;
    if (SUCCEEDED(host.GetPhysicalLayer(link.put())))
        link->GetProperty(0, HOST_TAG_LINK_STATUS, request, request->value);
    return S_OK;
}

HRESULT WorkOnline(CIOHost &host, DriverRequest *request) {
    if (IsSingle(*request, OP_READ_VALUE)) {
        hvSetI32(request->value, host.IsOnline() ? 1 : 0);
        return S_OK;
    }
    if (!IsSingle(*request, OP_WRITE_VALUE)) return E_FAIL;
    int32_t online = 0;
    if (!hvGetI32(request->value, &online)) return E_FAIL;
    if (online == 0) {
        if (host.IsOnline()) host.Stop();
        return S_OK;
    }
    if (host.IsOnline()) return S_OK;
    host.Start(true);
    return host.IsOnline() ? S_OK : E_FAIL;
}

void ParametersChanged(CIOHost &host, const std::vector<std::string> &names) {
    bool logChanged = false;
    for (const std::string &name : names) {
        host.OnParameterChanged(name.c_str());
        logChanged = logChanged || IsLogParameter(name.c_str());
    }
    if (logChanged) host.ApplyLogSettings(false);
}

HRESULT SetParameters(CIOHost &host, const DriverRequest &request, std::string &message) {
    if (request.operation != OP_WRITE_VALUE && request.operation != OP_WRITE_BLOCK) {
        message = "Unsupported tag operation";
        return E_FAIL;
    }
    if (request.elementCount != request.blockSize || request.firstElement != 0) {
        message = "Block element write not supported";
        return E_FAIL;
    }
    if (host.IsOnline()) {
        message = "Cannot set configuration parameters while the driver is ONLINE";
        return E_FAIL;
    }
    std::vector<std::string> names;
    const bool accepted = host.Configuration().SetParameters(request.value, message, names);
    ParametersChanged(host, names);
    return accepted ? S_OK : E_FAIL;
}

HRESULT ParameterByName(CIOHost &host, const DriverRequest &request, std::string &message) {
    if (request.version < 5) {
        message = "String parameters not supported in this version";
        return E_FAIL;
    }
    if (request.operation != OP_READ_VALUE && request.operation != OP_WRITE_VALUE) {
        message = "Unsupported tag operation";
        return E_FAIL;
    }
    if (!request.paramItem) {
        message = "String parameter not provided";
        return E_FAIL;
    }
    const std::string name = NarrowFromWide(request.paramItem);
    CConfigData &config = host.Configuration();
    if (request.operation == OP_READ_VALUE) {
        const auto *entry = config.Find(name.c_str());
        HValue copy(entry ? hvDuplicate(entry->Value()) : nullptr);
        if (copy)
            hvCopy(request.value, copy.get());
        else
            hvSetNull(request.value);
        return S_OK;
    }
    config.SetValue(name.c_str(), request.value);
    ParametersChanged(host, {name});
    return S_OK;
}

} // namespace

HRESULT HandleHostControlTag(CIOHost &host, uint16_t n4, DriverRequest *request, HVALUE value) {
    switch (n4) {
    case HOST_TAG_EVENTS:
        return ReadEvents(host, *request, value);
    case HOST_TAG_LINK_STATUS:
        return ReadLinkStatus(host, request);
    case HOST_TAG_WORK_ONLINE:
        return WorkOnline(host, request);
    case HOST_TAG_SET_PARAMETERS:
    case HOST_TAG_PARAMETER_BY_NAME:
        break;
    default:
        return E_NOTIMPL;
    }
    std::string message;
    const HRESULT result = n4 == HOST_TAG_SET_PARAMETERS ? SetParameters(host, *request, message)
                                                         : ParameterByName(host, *request, message);
    // The message value tells the application why a request failed (empty on
    // success). Records older than version 2 have none of their own; the
    // driver gives their converted copy one for the trace.
    if (request->version >= 2 && request->message) hvSetString(request->message, message.c_str());
    return result;
}

} // namespace quillon

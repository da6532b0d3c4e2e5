// The control tags that the driver host answers itself (N1 = -1, N2 = 0,
// N3 = 0), addressed by N4.
#pragma once

#include "base/DriverRequest.h"

#include <windows.h>

namespace quillon {

class CIOHost;

enum HostControlTag : uint16_t {
    HOST_TAG_EVENTS = 1,
    HOST_TAG_LINK_STATUS = 2,
    HOST_TAG_SET_PARAMETERS = 3,
    HOST_TAG_WORK_ONLINE = 4,
    HOST_TAG_PARAMETER_BY_NAME = 5,
};

HRESULT HandleHostControlTag(CIOHost &host, uint16_t n4, DriverRequest *request, HVALUE value);

} // namespace quillon

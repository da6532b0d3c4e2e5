// The driver host of the script driver.
#pragma once

#include "driver/IOHost.h"

namespace quillon {

class CVBScriptHost : public CIOHost {
public:
    using CIOHost::CIOHost;

    // The script driver has no frame protocol of its own.
    HRESULT STDMETHODCALLTYPE ReceiveFrame(CFrameBuffer *, CFrameBuffer *) override { return E_FAIL; }
};

} // namespace quillon

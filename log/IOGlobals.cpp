#include "log/IOGlobals.h"

#include <new>

namespace quillon {

CIOGlobals *CIOGlobals::Create(IUnknown *hostObject) {
    ComPtr<IIOLogger> logger;
    if (FAILED(CreateLogger(logger.put())) || !logger) return nullptr;
    return new (std::nothrow) CIOGlobals(std::move(logger), hostObject);
}

CIOGlobals::CIOGlobals(ComPtr<IIOLogger> logger, IUnknown *hostObject)
    : logger_(std::move(logger)), hostObject_(hostObject) {}

void CIOGlobals::AddRef() { InterlockedIncrement(&refs_); }

void CIOGlobals::Release() {
    if (InterlockedDecrement(&refs_) == 0) delete this;
}

} // namespace quillon

#include "log/IOLogger.h"

namespace quillon {
HRESULT CreateLogger(IIOLogger **logger) {
    *logger = nullptr;
    return E_NOTIMPL;
}
} // namespace quillon

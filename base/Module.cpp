#include "base/Module.h"

namespace quillon {

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

void ModulePin::Take() {
    if (module_) return;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThisModule), &module_))
        module_ = nullptr;
}

// The caller runs in this module and its host holds the library loaded
// while calling, so this reference is never the last one.
void ModulePin::Drop() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
}

} // namespace quillon

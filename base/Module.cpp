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

namespace {

thread_local bool callerHoldsModule = false;

DWORD WINAPI ReleaseModule(void *module) { FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0); }

} // namespace

ModulePin::CallerHoldsModule::CallerHoldsModule() : outer_(callerHoldsModule) { callerHoldsModule = true; }

ModulePin::CallerHoldsModule::~CallerHoldsModule() { callerHoldsModule = outer_; }

// When no thread can be made the module stays loaded: a leak is better than
// code pulled from under the caller.
void ModulePin::Drop() {
    HMODULE module = module_;
    module_ = nullptr;
    if (!module) return;
    if (callerHoldsModule) {
        FreeLibrary(module);
        return;
    }
    if (HANDLE thread = CreateThread(nullptr, 0, ReleaseModule, module, 0, nullptr)) CloseHandle(thread);
}

} // namespace quillon

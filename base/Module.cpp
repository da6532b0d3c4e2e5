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

// Marks the threads that are inside the host application's own call. A slot
// of the system's own: the C++ runtime's thread-local storage takes handles at
// its first use that stay with the process.
class ThreadFlag {
public:
    ThreadFlag() : index_(TlsAlloc()) {}
    ~ThreadFlag() {
        if (index_ != TLS_OUT_OF_INDEXES) TlsFree(index_);
    }
    ThreadFlag(const ThreadFlag &) = delete;
    ThreadFlag &operator=(const ThreadFlag &) = delete;

    // Without a slot no thread is marked, and a drop takes the safe road.
    bool Get() const { return index_ != TLS_OUT_OF_INDEXES && TlsGetValue(index_) != nullptr; }
    void Set(bool on) const {
        if (index_ != TLS_OUT_OF_INDEXES) TlsSetValue(index_, on ? reinterpret_cast<void *>(1) : nullptr);
    }

private:
    DWORD index_;
};

const ThreadFlag callerHoldsModule;

DWORD WINAPI ReleaseModule(void *module) { FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0); }

} // namespace

ModulePin::CallerHoldsModule::CallerHoldsModule() : outer_(callerHoldsModule.Get()) { callerHoldsModule.Set(true); }

ModulePin::CallerHoldsModule::~CallerHoldsModule() { callerHoldsModule.Set(outer_); }

// When no thread can be made the module stays loaded: a leak is better than
// code pulled from under the caller.
void ModulePin::Drop() {
    HMODULE module = module_;
    module_ = nullptr;
    if (!module) return;
    if (callerHoldsModule.Get()) {
        FreeLibrary(module);
        return;
    }
    if (HANDLE thread = CreateThread(nullptr, 0, ReleaseModule, module, 0, nullptr)) CloseHandle(thread);
}

} // namespace quillon

// The driver's exported functions. All but drvCreateDriverInstance,
// drvGetDriverName and drvGetCaps act on one process-wide driver object,
// created on first use.
#include "base/ComUtil.h"
#include "toolkit/IOFactory.h"

#include <new>

using namespace quillon;

namespace {

CRITICAL_SECTION singletonLock;
bool singletonCreated = false;
CIOFactory *singleton = nullptr;

// A new driver object, or null (also when memory ran out while making it).
CIOFactory *CreateFactory(IUnknown *hostObject) {
    CIOFactory *factory = nullptr;
    NoThrow([&] {
        factory = CreateDriverFactory(hostObject);
        return S_OK;
    });
    return factory;
}

// The process-wide object with a reference added, or null when it cannot be
// had. A failed creation is not retried.
CIOFactory *AcquireSingleton() {
    EnterCriticalSection(&singletonLock);
    if (!singletonCreated) {
        singletonCreated = true;
        singleton = CreateFactory(nullptr);
    }
    CIOFactory *factory = singleton;
    if (factory) factory->AddRef();
    LeaveCriticalSection(&singletonLock);
    return factory;
}

// Only the low 16 bits of the result are defined: 1 for a non-negative
// status, -1 for a failure.
short ExportResult(HRESULT status) { return SUCCEEDED(status) ? 1 : -1; }

template <class Operation>
short WithSingleton(Operation operation) {
    CIOFactory *factory = AcquireSingleton();
    if (!factory) return ExportResult(E_OUTOFMEMORY);
    const HRESULT status = NoThrow([&] { return operation(*factory); });
    factory->Release();
    return ExportResult(status);
}

} // namespace

extern "C" {

__declspec(dllexport) int __cdecl drvCreateDriverInstance(IUnknown *hostObject, IIODriverInstance **driver) {
    if (!driver) return -1;
    *driver = nullptr;
    CIOFactory *factory = CreateFactory(hostObject);
    if (!factory) return -1;
    *driver = factory;
    return 1;
}

__declspec(dllexport) const char *__cdecl drvGetDriverName(void) { return DRIVER_NAME; }

__declspec(dllexport) long __cdecl drvGetCaps(void) { return DRIVER_CAPS; }

__declspec(dllexport) void __cdecl drvSetSettingsHandle(HVALUE settings) {
    WithSingleton([&](CIOFactory &factory) { return factory.SetSettingsHandle(settings); });
}

__declspec(dllexport) short __cdecl drvDriverDialog(HWND parent) {
    return WithSingleton([&](CIOFactory &factory) { return factory.DriverDialog(parent); });
}

__declspec(dllexport) short __cdecl drvStartComm(DWORD a, DWORD b, DWORD c, DWORD d) {
    return WithSingleton([&](CIOFactory &factory) { return factory.StartComm(a, b, c, d); });
}

__declspec(dllexport) short __cdecl drvStopComm(DWORD a, DWORD b, DWORD c, DWORD d) {
    return WithSingleton([&](CIOFactory &factory) { return factory.StopComm(a, b, c, d); });
}

__declspec(dllexport) short __cdecl drvIO(DriverRequest *request, HVALUE value) {
    return WithSingleton([&](CIOFactory &factory) { return factory.IO(request, value); });
}

__declspec(dllexport) short __cdecl drvGetStatus(const char *name, HVALUE value) {
    return WithSingleton([&](CIOFactory &factory) { return factory.GetStatus(name, value); });
}

__declspec(dllexport) short __cdecl drvSetStatus(const char *name, HVALUE value) {
    return WithSingleton([&](CIOFactory &factory) { return factory.SetStatus(name, value); });
}

__declspec(dllexport) short __cdecl drvGetDriverObject(IIODriverInstance **driver) {
    if (!driver) return -1;
    *driver = nullptr;
    CIOFactory *factory = AcquireSingleton();
    if (!factory) return -1;
    *driver = factory;  // the caller owns the added reference
    return 1;
}

__declspec(dllexport) unsigned __cdecl ChanferLibGetVersion(void) { return TOOLKIT_VERSION; }

__declspec(dllexport) unsigned __cdecl ChanferLibGetVersionFull(void) { return TOOLKIT_VERSION_FULL; }

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        InitializeCriticalSection(&singletonLock);
        break;
    case DLL_PROCESS_DETACH: {
        // At process exit other threads are already gone and may have held
        // the driver's locks: only an explicit unload releases the object.
        if (reserved) break;
        EnterCriticalSection(&singletonLock);
        CIOFactory *factory = singleton;
        singleton = nullptr;
        LeaveCriticalSection(&singletonLock);
        if (factory) {
            factory->Shutdown();
            factory->Release();
        }
        DeleteCriticalSection(&singletonLock);
        break;
    }
    default:
        break;
    }
    return TRUE;
}

#pragma once

#include <windows.h>

namespace quillon {

// The module that carries the driver's code and resources: the driver DLL,
// or the program itself when the code is linked statically into it.
HINSTANCE ThisModule();

// Keeps the module loaded while held. Communication that is started runs
// threads and the script in this module's code: a host that unloads the
// library before stopping it must not pull the code from under them, and
// stopping inside the loader's lock (script procedures, waiting for link
// threads) would deadlock. The pin may be the module's last reference, so
// a short thread of its own lets it go and ends without returning into the
// module's code.
class ModulePin {
public:
    ModulePin() = default;
    ModulePin(const ModulePin &) = delete;
    ModulePin &operator=(const ModulePin &) = delete;
    ~ModulePin() { Drop(); }

    void Take();
    void Drop();

    // While one exists on a thread, whoever called that thread into the
    // module holds it loaded (a host inside its own stop call): a pin that
    // drops meanwhile lets the module go at once, so that a host that unloads
    // the library after the stop finds it gone.
    class CallerHoldsModule {
    public:
        CallerHoldsModule();
        ~CallerHoldsModule();
        CallerHoldsModule(const CallerHoldsModule &) = delete;
        CallerHoldsModule &operator=(const CallerHoldsModule &) = delete;

    private:
        bool outer_;
    };

private:
    HMODULE module_ = nullptr;
};

} // namespace quillon

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
// threads) would deadlock.
class ModulePin {
public:
    ModulePin() = default;
    ModulePin(const ModulePin &) = delete;
    ModulePin &operator=(const ModulePin &) = delete;
    ~ModulePin() { Drop(); }

    void Take();
    void Drop();

private:
    HMODULE module_ = nullptr;
};

} // namespace quillon

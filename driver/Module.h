#pragma once

#include <windows.h>

namespace quillon {

// The module that carries the driver's code and resources: the driver DLL,
// or the program itself when the code is linked statically into it.
HINSTANCE ThisModule();

} // namespace quillon

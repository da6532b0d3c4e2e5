# Cross-compiling for 64-bit Windows: used to run the test suite under a
# 64-bit Wine on machines that cannot execute 32-bit code.
set(QUILLON_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

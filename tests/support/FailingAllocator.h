// Replaces the test program's operator new so that a test can make its large
// allocations fail. Include it in exactly one source file of a program.
#pragma once

#include <windows.h>

#include <cstddef>
#include <new>

namespace quillon::test {

// While set, every allocation of the program of at least this many bytes
// fails with std::bad_alloc.
inline volatile size_t failAllocationsFrom = 0;

} // namespace quillon::test

void *operator new(std::size_t size) {
    if (quillon::test::failAllocationsFrom && size >= quillon::test::failAllocationsFrom) throw std::bad_alloc();
    if (void *block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return block;
    throw std::bad_alloc();
}

void operator delete(void *block) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

void operator delete(void *block, std::size_t) noexcept { operator delete(block); }

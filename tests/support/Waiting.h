// Waiting for a condition instead of for a fixed time.
#pragma once

#include <windows.h>

#include <functional>

namespace quillon::test {

constexpr DWORD kDeadlineMs = 30000;

// Polls until the condition holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()> &condition, DWORD deadlineMs = kDeadlineMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > deadlineMs) return false;
        Sleep(5);
    }
    return true;
}

} // namespace quillon::test

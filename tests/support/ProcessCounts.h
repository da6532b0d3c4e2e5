// Counts of the process's threads and open handles, for tests that check
// that nothing is left behind.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

namespace quillon::test {

inline unsigned ThreadCount() {
    unsigned count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

// Wine answers GetProcessHandleCount with 0, so the handle values are asked
// one by one instead. They are multiples of four, handed out lowest free
// first, so the scan ends after a long run of values that are no handle.
inline DWORD HandleCount() {
    constexpr uintptr_t kHighestHandle = 0x10000;
    constexpr unsigned kEmptyRunToStop = 2048;
    DWORD count = 0;
    unsigned emptyRun = 0;
    for (uintptr_t value = 4; value < kHighestHandle && emptyRun < kEmptyRunToStop; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            emptyRun = 0;
        } else {
            ++emptyRun;
        }
    }
    return count;
}

// The committed private pages, in bytes: Wine answers PrivateUsage with the
// swap use, so the pages are summed region by region.
inline SIZE_T CommittedPrivateBytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char *address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

} // namespace quillon::test

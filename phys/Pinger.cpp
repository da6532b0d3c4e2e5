// Winsock's header comes before windows.h.
#include <winsock2.h>

#include "phys/Pinger.h"

#include <ipexport.h>

namespace quillon {
namespace {

using IcmpCreateFileFn = HANDLE(WINAPI *)();
using IcmpCloseHandleFn = BOOL(WINAPI *)(HANDLE);
using IcmpSendEchoFn = DWORD(WINAPI *)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD);

// The ICMP library is looked for once per process, and kept loaded.
struct IcmpLibrary {
    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    IcmpCreateFileFn createFile = nullptr;
    IcmpCloseHandleFn closeHandle = nullptr;
    IcmpSendEchoFn sendEcho = nullptr;
    bool available = false;
};

IcmpLibrary gIcmp;

BOOL CALLBACK LoadIcmp(PINIT_ONCE, PVOID parameter, PVOID *) {
    const CPinger *pinger = static_cast<const CPinger *>(parameter);
    HMODULE library = LoadLibraryA("ICMP.DLL");
    if (!library) {
        pinger->Log(LOG_SOCKET, "PING: failed to load ICMP.DLL (error=%u)", static_cast<unsigned>(GetLastError()));
        return TRUE;
    }
    gIcmp.createFile = reinterpret_cast<IcmpCreateFileFn>(GetProcAddress(library, "IcmpCreateFile"));
    gIcmp.closeHandle = reinterpret_cast<IcmpCloseHandleFn>(GetProcAddress(library, "IcmpCloseHandle"));
    gIcmp.sendEcho = reinterpret_cast<IcmpSendEchoFn>(GetProcAddress(library, "IcmpSendEcho"));
    if (!gIcmp.createFile || !gIcmp.closeHandle || !gIcmp.sendEcho) {
        pinger->Log(LOG_SOCKET, "PING: failed loading ICMP.DLL functions");
        FreeLibrary(library);
        return TRUE;
    }
    gIcmp.available = true;
    return TRUE;
}

double ElapsedMs(const LARGE_INTEGER &start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

} // namespace

HRESULT CPinger::Ping(const char *address, DWORD timeoutMs, DWORD tries) {
    if (!address || !*address || timeoutMs == 0) {
        Log(LOG_SOCKET, "PING: invalid arguments");
        return E_INVALIDARG;
    }
    InitOnceExecuteOnce(&gIcmp.once, LoadIcmp, const_cast<CPinger *>(this), nullptr);
    if (!gIcmp.available) {
        Log(LOG_SOCKET, "PING: error, ICMP not available!");
        return E_FAIL;
    }
    WSADATA data = {};
    const int startup = WSAStartup(MAKEWORD(1, 1), &data);
    if (startup != 0) {
        Log(LOG_SOCKET, "PING: Error on WSAStartup (%u)", static_cast<unsigned>(startup));
        return E_FAIL;
    }
    HRESULT hr = E_FAIL;
    const HANDLE icmp = gIcmp.createFile();
    if (icmp == INVALID_HANDLE_VALUE || !icmp) {
        Log(LOG_SOCKET, "PING: Error on ICMPCreateFile (%u)", static_cast<unsigned>(GetLastError()));
        WSACleanup();
        return E_FAIL;
    }

    in_addr target = {};
    bool resolved = false;
    target.s_addr = inet_addr(address);
    if (target.s_addr != INADDR_NONE || lstrcmpA(address, "255.255.255.255") == 0) {
        resolved = true;
    } else {
        const hostent *host = gethostbyname(address);
        if (!host)
            Log(LOG_SOCKET, "PING: DNS error resolving address '%s' (error = %u)", address,
                static_cast<unsigned>(WSAGetLastError()));
        else if (host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
            Log(LOG_SOCKET, "PING: DNS error resolving address '%s' (unspecified error)", address);
        else {
            CopyMemory(&target, host->h_addr_list[0], sizeof target);
            resolved = true;
        }
    }

    if (resolved) {
        const BYTE *octets = reinterpret_cast<const BYTE *>(&target);
        // Room for one reply and the ICMP error that may come instead.
        BYTE reply[sizeof(ICMP_ECHO_REPLY) + 8];
        char payload = 0;
        for (DWORD request = 0; request <= tries; ++request) {
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            const DWORD replies =
                gIcmp.sendEcho(icmp, target.s_addr, &payload, 0, nullptr, reply, sizeof reply, timeoutMs);
            const unsigned elapsed = static_cast<unsigned>(ElapsedMs(start));
            const bool answered = replies > 0 && reinterpret_cast<ICMP_ECHO_REPLY *>(reply)->Status == IP_SUCCESS;
            Log(LOG_SOCKET, answered ? "PING '%s' (IP %u.%u.%u.%u) SUCCEEDED (%u msec)"
                                     : "PING '%s' (IP %u.%u.%u.%u) FAILED (%u msec)",
                address, octets[0], octets[1], octets[2], octets[3], elapsed);
            if (answered) {
                hr = S_OK;
                break;
            }
        }
    }
    gIcmp.closeHandle(icmp);
    WSACleanup();
    return hr;
}

} // namespace quillon

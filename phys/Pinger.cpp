// Winsock's header comes before windows.h.
#include <winsock2.h>

#include "phys/Pinger.h"

#include <ipexport.h>

#include <algorithm>
#include <new>

namespace quillon {
namespace {

using IcmpCreateFileFn = HANDLE(WINAPI *)();
using IcmpCloseHandleFn = BOOL(WINAPI *)(HANDLE);
using IcmpSendEchoFn = DWORD(WINAPI *)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD);
// Called on the pinging thread, in an alertable wait, when an echo ends; the
// second argument is the request's status block.
using EchoDoneFn = void(NTAPI *)(PVOID context, PVOID status, ULONG reserved);
using IcmpSendEcho2Fn = DWORD(WINAPI *)(HANDLE, HANDLE, EchoDoneFn, PVOID, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION,
                                        LPVOID, DWORD, DWORD);
using IcmpParseRepliesFn = DWORD(WINAPI *)(LPVOID, DWORD);

// Room for one reply, the ICMP error that may come instead, and the status
// block of a request that completes through an event.
constexpr DWORD kReplySize = sizeof(ICMP_ECHO_REPLY) + 8 + 64;
// How long an echo may take to end beyond its own time-out.
constexpr DWORD kEchoMarginMs = 1000;
// The longest single wait for an echo's completion; the loop waits again
// until the echo's own limit.
constexpr ULONGLONG kEchoSliceMs = 1000;

// The ICMP library is looked for once per process, and kept loaded.
struct IcmpLibrary {
    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    IcmpCreateFileFn createFile = nullptr;
    IcmpCloseHandleFn closeHandle = nullptr;
    IcmpSendEchoFn sendEcho = nullptr;
    // An echo that completes through an event, so that a stop can end it.
    IcmpSendEcho2Fn sendEcho2 = nullptr;
    IcmpParseRepliesFn parseReplies = nullptr;
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
    gIcmp.sendEcho2 = reinterpret_cast<IcmpSendEcho2Fn>(GetProcAddress(library, "IcmpSendEcho2"));
    gIcmp.parseReplies = reinterpret_cast<IcmpParseRepliesFn>(GetProcAddress(library, "IcmpParseReplies"));
    if (!gIcmp.parseReplies) gIcmp.sendEcho2 = nullptr;
    gIcmp.available = true;
    return TRUE;
}

// The stop event is auto-reset: a look gives its signal back.
bool IsSet(HANDLE event) {
    if (!event || WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return false;
    SetEvent(event);
    return true;
}

double ElapsedMs(const LARGE_INTEGER &start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool Answered(const BYTE *reply) { return reinterpret_cast<const ICMP_ECHO_REPLY *>(reply)->Status == IP_SUCCESS; }

// An echo in flight. The system writes its reply after the call that sent
// it has returned; one that is given up (on a stop) goes on until its own
// time-out, so the record is then left to the completion, which frees it if
// it is ever delivered.
struct EchoRequest {
    BYTE reply[kReplySize];
    bool done = false;
    bool abandoned = false;
};

void NTAPI EchoDone(PVOID context, PVOID, ULONG) {
    EchoRequest *request = static_cast<EchoRequest *>(context);
    if (request->abandoned)
        delete request;
    else
        request->done = true;
}

// One echo request. Without a stop event it blocks for its time-out; with
// one it ends on the stop too (the handle is then closed and icmp becomes
// null), and the stop stays set for the waits that follow.
bool SendEcho(HANDLE &icmp, IPAddr target, DWORD timeoutMs, HANDLE stop) {
    char payload = 0;
    if (!gIcmp.sendEcho2 || !stop) {
        BYTE reply[kReplySize];
        return gIcmp.sendEcho(icmp, target, &payload, 0, nullptr, reply, sizeof reply, timeoutMs) > 0 &&
               Answered(reply);
    }
    EchoRequest *request = new (std::nothrow) EchoRequest;
    if (!request) return false;
    const DWORD replies = gIcmp.sendEcho2(icmp, nullptr, EchoDone, request, target, &payload, 0, nullptr,
                                          request->reply, kReplySize, timeoutMs);
    if (replies > 0 || GetLastError() != ERROR_IO_PENDING) {
        const bool answered = replies > 0 && Answered(request->reply);
        delete request;
        return answered;
    }
    // The completion comes as a call on this thread while it waits alertably.
    const ULONGLONG limit = static_cast<ULONGLONG>(timeoutMs) + kEchoMarginMs;
    const ULONGLONG start = GetTickCount64();
    while (!request->done) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= limit) break;
        // Bounded by the echo's time-out, in slices so that no time-out reads
        // as "for ever"; the stop ends it at once.
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(limit - elapsed, kEchoSliceMs));
        const DWORD woken = WaitForSingleObjectEx(stop, slice, TRUE);
        if (woken == WAIT_OBJECT_0) {
            SetEvent(stop);
            break;
        }
        if (woken != WAIT_IO_COMPLETION) break;
    }
    if (request->done) {
        const bool answered = gIcmp.parseReplies(request->reply, kReplySize) > 0 && Answered(request->reply);
        delete request;
        return answered;
    }
    request->abandoned = true;
    gIcmp.closeHandle(icmp);
    icmp = nullptr;
    return false;
}

} // namespace

HRESULT CPinger::Ping(const char *address, DWORD timeoutMs, DWORD tries, HANDLE stop) {
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
    HANDLE icmp = gIcmp.createFile();
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
        // tries + 1 requests, written so that every value of tries ends.
        DWORD request = 0;
        do {
            if (IsSet(stop)) break;
            LARGE_INTEGER start;
            QueryPerformanceCounter(&start);
            const bool answered = SendEcho(icmp, target.s_addr, timeoutMs, stop);
            const unsigned elapsed = static_cast<unsigned>(ElapsedMs(start));
            Log(LOG_SOCKET, answered ? "PING '%s' (IP %u.%u.%u.%u) SUCCEEDED (%u msec)"
                                     : "PING '%s' (IP %u.%u.%u.%u) FAILED (%u msec)",
                address, octets[0], octets[1], octets[2], octets[3], elapsed);
            if (answered) {
                hr = S_OK;
                break;
            }
        } while (icmp && request++ < tries);
    }
    if (icmp) gIcmp.closeHandle(icmp);
    WSACleanup();
    return hr;
}

} // namespace quillon

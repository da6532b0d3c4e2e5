// A stand-in telephony library for the tests: the line functions that the
// modem link calls, over modem devices that a test describes. A connected
// call's serial handle is a COM port of the serial rig, whose far end is the
// simulated device. Notifications reach the application's callback as
// window messages on the thread that initialised it, in the order TAPI
// gives them: a request's reply before the call states that follow it.
#include "tests/modem/standin/Standin.h"

#include <windows.h>
#include <tapi.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr UINT kNoteMessage = WM_APP + 1;
// The timer of a delayed reply (call handles, the other timers, start at 0x100).
constexpr UINT_PTR kDueTimer = 1;
constexpr wchar_t kWindowClass[] = L"QuillonStandinTapi";

struct Device {
    DWORD permanentId;
    std::string name;
    bool hasName;
    DWORD mediaModes;
    bool readable;
    unsigned comPort;
    DWORD rate;
};

// One notification waiting for its application's window.
struct Note {
    DWORD device;
    DWORD message;
    DWORD_PTR instance;
    DWORD_PTR param1, param2, param3;
    // For a placed call's reply: where the application wants the handle.
    HCALL *callTarget;
    HCALL call;
    // GetTickCount at which it may be delivered (0: at once).
    DWORD due;
};

struct App {
    HWND window;
    DWORD thread;
    LINECALLBACK callback;
    std::deque<Note> notes;
};

struct Line {
    HLINEAPP app;
    DWORD device;
    DWORD_PTR instance;
};

struct Call {
    HLINE line;
    DWORD state;
    DWORD hangUpAfterMs;
};

struct Fate {
    int kind;
    DWORD param;
};

CRITICAL_SECTION gLock;
HINSTANCE gModule;
std::vector<Device> gDevices;
std::map<HLINEAPP, App> gApps;
std::map<HLINE, Line> gLines;
std::map<HCALL, Call> gCalls;
std::deque<Fate> gFates;
StandinState gState;
DWORD gNextHandle = 0x100;
LONG gNextRequest = 1;
DWORD gReplyDelayMs = 0;

struct Locked {
    Locked() { EnterCriticalSection(&gLock); }
    ~Locked() { LeaveCriticalSection(&gLock); }
};

// Queues a notification for the application and wakes its window; an
// urgent one goes first.
void Notify(HLINEAPP appHandle, const Note &note, bool urgent = false) {
    auto app = gApps.find(appHandle);
    if (app == gApps.end()) return;
    if (urgent)
        app->second.notes.push_front(note);
    else
        app->second.notes.push_back(note);
    PostMessageW(app->second.window, kNoteMessage, 0, 0);
}

// Counts a call function called on a thread other than the one that
// initialised the application of the line.
void NoteThread(HLINE lineHandle) {
    auto line = gLines.find(lineHandle);
    if (line == gLines.end()) return;
    auto app = gApps.find(line->second.app);
    if (app != gApps.end() && app->second.thread != GetCurrentThreadId()) ++gState.offThreadCalls;
}
void NoteCallThread(HCALL callHandle) {
    auto call = gCalls.find(callHandle);
    if (call != gCalls.end()) NoteThread(call->second.line);
}

void NotifyCall(HCALL call, DWORD state, DWORD mode) {
    auto found = gCalls.find(call);
    if (found == gCalls.end()) return;
    auto line = gLines.find(found->second.line);
    if (line == gLines.end()) return;
    Notify(line->second.app, {call, LINE_CALLSTATE, line->second.instance, state, mode, 0, nullptr, 0, 0});
}

LONG NotifyReply(HLINE lineHandle, LONG result, HCALL *target = nullptr, HCALL call = 0) {
    const LONG request = gNextRequest++;
    auto line = gLines.find(lineHandle);
    if (line == gLines.end()) return request;
    Notify(line->second.app, {0, LINE_REPLY, line->second.instance, static_cast<DWORD_PTR>(request),
                              static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0, target, call,
                              gReplyDelayMs ? GetTickCount() + gReplyDelayMs : 0});
    return request;
}

HLINEAPP AppOfWindow(HWND window) {
    for (const auto &app : gApps)
        if (app.second.window == window) return app.first;
    return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kDueTimer) {
        // A delayed reply is due: every waiting note gets its turn again.
        KillTimer(window, kDueTimer);
        Locked lock;
        auto app = gApps.find(AppOfWindow(window));
        if (app != gApps.end())
            for (size_t i = 0; i < app->second.notes.size(); ++i) PostMessageW(window, kNoteMessage, 0, 0);
        return 0;
    }
    if (message == WM_TIMER) {
        // The far side hangs up a connected call.
        KillTimer(window, wParam);
        Locked lock;
        const HCALL call = static_cast<HCALL>(wParam);
        auto found = gCalls.find(call);
        if (found != gCalls.end() && found->second.state == LINECALLSTATE_CONNECTED) {
            found->second.state = LINECALLSTATE_DISCONNECTED;
            NotifyCall(call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
        }
        return 0;
    }
    if (message != kNoteMessage) return DefWindowProcW(window, message, wParam, lParam);
    Note note;
    LINECALLBACK callback;
    {
        Locked lock;
        auto app = gApps.find(AppOfWindow(window));
        if (app == gApps.end() || app->second.notes.empty()) return 0;
        const DWORD due = app->second.notes.front().due;
        if (due != 0 && static_cast<LONG>(due - GetTickCount()) > 0) {
            SetTimer(window, kDueTimer, due - GetTickCount(), nullptr);
            return 0;
        }
        note = app->second.notes.front();
        app->second.notes.pop_front();
        callback = app->second.callback;
        if (note.message == LINE_CALLSTATE) {
            // Nothing more is told about a call the application let go.
            auto call = gCalls.find(note.device);
            if (call == gCalls.end()) return 0;
            if (note.param1 == LINECALLSTATE_CONNECTED && call->second.hangUpAfterMs > 0)
                SetTimer(window, call->first, call->second.hangUpAfterMs, nullptr);
        }
        if (note.message == LINE_REPLY && note.callTarget && note.param2 == 0) *note.callTarget = note.call;
    }
    callback(note.device, note.message, note.instance, note.param1, note.param2, note.param3);
    return 0;
}

void FreeCall(HCALL call) {
    if (gCalls.erase(call)) --gState.calls;
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void *) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = module;
        InitializeCriticalSection(&gLock);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = module;
        windowClass.lpszClassName = kWindowClass;
        RegisterClassW(&windowClass);
    }
    return TRUE;
}

// ---- what the tests ask ----

void __cdecl StandinReset(void) {
    Locked lock;
    gDevices.clear();
    gFates.clear();
    gReplyDelayMs = 0;
    const StandinState open = gState;
    gState = StandinState{};
    gState.apps = open.apps;
    gState.lines = open.lines;
    gState.calls = open.calls;
}

void __cdecl StandinAddDevice(DWORD permanentId, const char *name, DWORD mediaModes, int readable, unsigned comPort,
                              DWORD rate) {
    Locked lock;
    gDevices.push_back({permanentId, name ? name : "", name != nullptr, mediaModes, readable != 0, comPort, rate});
}

void __cdecl StandinQueueCall(int fate, DWORD param) {
    Locked lock;
    gFates.push_back({fate, param});
}

int __cdecl StandinRing(DWORD device, DWORD hangUpAfterMs) {
    Locked lock;
    for (const auto &line : gLines) {
        if (line.second.device != device) continue;
        const HCALL call = gNextHandle++;
        gCalls[call] = {line.first, LINECALLSTATE_OFFERING, hangUpAfterMs};
        ++gState.calls;
        NotifyCall(call, LINECALLSTATE_OFFERING, 0);
        return 1;
    }
    return 0;
}

int __cdecl StandinCloseLine(DWORD device) {
    Locked lock;
    for (auto line = gLines.begin(); line != gLines.end(); ++line) {
        if (line->second.device != device) continue;
        // The line's calls are over; their handles stay until deallocated.
        for (auto &call : gCalls)
            if (call.second.line == line->first) call.second.state = LINECALLSTATE_IDLE;
        Notify(line->second.app, {line->first, LINE_CLOSE, line->second.instance, 0, 0, 0, nullptr, 0, 0}, true);
        gLines.erase(line);
        --gState.lines;
        return 1;
    }
    return 0;
}

void __cdecl StandinGetState(StandinState *state) {
    Locked lock;
    *state = gState;
}

void __cdecl StandinDelayReplies(DWORD ms) {
    Locked lock;
    gReplyDelayMs = ms;
}

// ---- the line functions ----

LONG WINAPI lineInitialize(LPHLINEAPP app, HINSTANCE, LINECALLBACK callback, LPCSTR, LPDWORD devices) {
    if (!app || !callback || !devices) return LINEERR_INVALPOINTER;
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, gModule, nullptr);
    if (!window) return LINEERR_NOMEM;
    Locked lock;
    *app = gNextHandle++;
    gApps[*app] = {window, GetCurrentThreadId(), callback, {}};
    gState.appThread = GetCurrentThreadId();
    ++gState.apps;
    *devices = static_cast<DWORD>(gDevices.size());
    return 0;
}

LONG WINAPI lineShutdown(HLINEAPP appHandle) {
    HWND window;
    {
        Locked lock;
        auto app = gApps.find(appHandle);
        if (app == gApps.end()) return LINEERR_INVALAPPHANDLE;
        // What the application left open is closed for it, and counted.
        for (auto line = gLines.begin(); line != gLines.end();) {
            if (line->second.app != appHandle) {
                ++line;
                continue;
            }
            for (auto call = gCalls.begin(); call != gCalls.end();) {
                if (call->second.line == line->first) {
                    call = gCalls.erase(call);
                    --gState.calls;
                    ++gState.callsLeftToShutdown;
                } else {
                    ++call;
                }
            }
            line = gLines.erase(line);
            --gState.lines;
            ++gState.linesLeftToShutdown;
        }
        window = app->second.window;
        gApps.erase(app);
        --gState.apps;
    }
    DestroyWindow(window);
    return 0;
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, LPDWORD version,
                                    LPLINEEXTENSIONID extension) {
    Locked lock;
    if (!gApps.count(app)) return LINEERR_INVALAPPHANDLE;
    if (device >= gDevices.size()) return LINEERR_BADDEVICEID;
    if (!version || !extension) return LINEERR_INVALPOINTER;
    if (low > 0x00020000 || high < 0x00010003) return LINEERR_INCOMPATIBLEAPIVERSION;
    *version = high < 0x00020000 ? high : 0x00020000;
    memset(extension, 0, sizeof *extension);
    return 0;
}

LONG WINAPI lineGetDevCapsA(HLINEAPP app, DWORD device, DWORD, DWORD, LPLINEDEVCAPS caps) {
    Locked lock;
    if (!gApps.count(app)) return LINEERR_INVALAPPHANDLE;
    if (device >= gDevices.size()) return LINEERR_BADDEVICEID;
    if (!caps) return LINEERR_INVALPOINTER;
    if (caps->dwTotalSize < sizeof(LINEDEVCAPS)) return LINEERR_STRUCTURETOOSMALL;
    const Device &d = gDevices[device];
    if (!d.readable) return LINEERR_NODRIVER;
    const DWORD total = caps->dwTotalSize;
    memset(caps, 0, sizeof(LINEDEVCAPS));
    caps->dwTotalSize = total;
    caps->dwPermanentLineID = d.permanentId;
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwMediaModes = d.mediaModes;
    caps->dwMaxRate = d.rate;
    caps->dwNumAddresses = 1;
    caps->dwUsedSize = sizeof(LINEDEVCAPS);
    const DWORD nameSize = d.hasName ? static_cast<DWORD>(d.name.size() + 1) : 0;
    caps->dwNeededSize = sizeof(LINEDEVCAPS) + nameSize;
    if (nameSize > 0 && caps->dwNeededSize <= total) {
        caps->dwLineNameOffset = sizeof(LINEDEVCAPS);
        caps->dwLineNameSize = nameSize;
        memcpy(reinterpret_cast<BYTE *>(caps) + sizeof(LINEDEVCAPS), d.name.c_str(), nameSize);
        caps->dwUsedSize = caps->dwNeededSize;
    }
    return 0;
}

LONG WINAPI lineOpenA(HLINEAPP app, DWORD device, LPHLINE line, DWORD, DWORD, DWORD_PTR instance, DWORD, DWORD,
                      LPLINECALLPARAMS const) {
    Locked lock;
    if (!gApps.count(app)) return LINEERR_INVALAPPHANDLE;
    if (device >= gDevices.size()) return LINEERR_BADDEVICEID;
    if (!line) return LINEERR_INVALPOINTER;
    *line = gNextHandle++;
    gLines[*line] = {app, device, instance};
    ++gState.lines;
    return 0;
}

LONG WINAPI lineSetStatusMessages(HLINE line, DWORD, DWORD) {
    Locked lock;
    return gLines.count(line) ? 0 : LINEERR_INVALLINEHANDLE;
}

LONG WINAPI lineGetAddressStatusA(HLINE line, DWORD address, LPLINEADDRESSSTATUS status) {
    Locked lock;
    if (!gLines.count(line)) return LINEERR_INVALLINEHANDLE;
    if (address != 0) return LINEERR_INVALADDRESSID;
    if (!status) return LINEERR_INVALPOINTER;
    if (status->dwTotalSize < sizeof(LINEADDRESSSTATUS)) return LINEERR_STRUCTURETOOSMALL;
    const DWORD total = status->dwTotalSize;
    memset(status, 0, sizeof(LINEADDRESSSTATUS));
    status->dwTotalSize = total;
    status->dwNeededSize = status->dwUsedSize = sizeof(LINEADDRESSSTATUS);
    return 0;
}

LONG WINAPI lineMakeCallA(HLINE line, LPHCALL call, LPCSTR number, DWORD, LPLINECALLPARAMS const) {
    Locked lock;
    NoteThread(line);
    if (!gLines.count(line)) return LINEERR_INVALLINEHANDLE;
    if (!call) return LINEERR_INVALPOINTER;
    const Fate fate = gFates.empty() ? Fate{FATE_CONNECT, 0} : gFates.front();
    if (!gFates.empty()) gFates.pop_front();
    if (fate.kind == FATE_REFUSED) return LINEERR_CALLUNAVAIL;
    if (fate.kind == FATE_FAILED_REPLY) return NotifyReply(line, LINEERR_CALLUNAVAIL);
    snprintf(gState.lastNumber, sizeof gState.lastNumber, "%s", number ? number : "");
    ++gState.callsPlaced;
    const HCALL placed = gNextHandle++;
    gCalls[placed] = {line, LINECALLSTATE_PROCEEDING, fate.kind == FATE_CONNECT ? fate.param : 0};
    ++gState.calls;
    const LONG request = NotifyReply(line, 0, call, placed);
    NotifyCall(placed, LINECALLSTATE_PROCEEDING, 0);
    switch (fate.kind) {
    case FATE_CONNECT:
        gCalls[placed].state = LINECALLSTATE_CONNECTED;
        NotifyCall(placed, LINECALLSTATE_CONNECTED, 0);
        break;
    case FATE_BUSY:
    case FATE_NO_ANSWER:
    case FATE_NO_DIAL_TONE: {
        const DWORD mode = fate.kind == FATE_BUSY        ? LINEDISCONNECTMODE_BUSY
                           : fate.kind == FATE_NO_ANSWER ? LINEDISCONNECTMODE_NOANSWER
                                                         : LINEDISCONNECTMODE_NODIALTONE;
        gCalls[placed].state = LINECALLSTATE_DISCONNECTED;
        NotifyCall(placed, LINECALLSTATE_DISCONNECTED, mode);
        break;
    }
    default:
        break;
    }
    return request;
}

LONG WINAPI lineGetIDA(HLINE, DWORD, HCALL callHandle, DWORD select, LPVARSTRING id, LPCSTR deviceClass) {
    Locked lock;
    NoteCallThread(callHandle);
    if (select != LINECALLSELECT_CALL) return LINEERR_INVALCALLSELECT;
    auto call = gCalls.find(callHandle);
    if (call == gCalls.end()) return LINEERR_INVALCALLHANDLE;
    if (!id || !deviceClass) return LINEERR_INVALPOINTER;
    if (lstrcmpiA(deviceClass, "comm/datamodem") != 0) return LINEERR_INVALDEVICECLASS;
    if (call->second.state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
    const Device &device = gDevices[gLines[call->second.line].device];
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%u", device.comPort);
    const DWORD size = static_cast<DWORD>(sizeof(HANDLE) + strlen(name) + 1);
    const DWORD total = id->dwTotalSize;
    if (total < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
    memset(id, 0, sizeof(VARSTRING));
    id->dwTotalSize = total;
    id->dwNeededSize = sizeof(VARSTRING) + size;
    id->dwUsedSize = sizeof(VARSTRING);
    if (id->dwNeededSize > total) return 0;
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) return LINEERR_OPERATIONFAILED;
    ++gState.serialHandles;
    id->dwStringFormat = STRINGFORMAT_BINARY;
    id->dwStringOffset = sizeof(VARSTRING);
    id->dwStringSize = size;
    id->dwUsedSize = id->dwNeededSize;
    BYTE *text = reinterpret_cast<BYTE *>(id) + sizeof(VARSTRING);
    memcpy(text, &port, sizeof port);
    memcpy(text + sizeof port, name, strlen(name) + 1);
    return 0;
}

LONG WINAPI lineGetCallInfoA(HCALL callHandle, LPLINECALLINFO info) {
    Locked lock;
    NoteCallThread(callHandle);
    auto call = gCalls.find(callHandle);
    if (call == gCalls.end()) return LINEERR_INVALCALLHANDLE;
    if (!info) return LINEERR_INVALPOINTER;
    if (info->dwTotalSize < sizeof(LINECALLINFO)) return LINEERR_STRUCTURETOOSMALL;
    const DWORD total = info->dwTotalSize;
    memset(info, 0, sizeof(LINECALLINFO));
    info->dwTotalSize = total;
    info->dwNeededSize = info->dwUsedSize = sizeof(LINECALLINFO);
    info->dwRate = gDevices[gLines[call->second.line].device].rate;
    info->dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    info->dwCallStates = call->second.state;
    return 0;
}

LONG WINAPI lineDrop(HCALL callHandle, LPCSTR, DWORD) {
    Locked lock;
    NoteCallThread(callHandle);
    auto call = gCalls.find(callHandle);
    if (call == gCalls.end()) return LINEERR_INVALCALLHANDLE;
    if (call->second.state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
    call->second.state = LINECALLSTATE_IDLE;
    const LONG request = NotifyReply(call->second.line, 0);
    NotifyCall(callHandle, LINECALLSTATE_IDLE, 0);
    return request;
}

// Accepted whatever the call's state, as the modem link relies on.
LONG WINAPI lineDeallocateCall(HCALL call) {
    Locked lock;
    NoteCallThread(call);
    if (!gCalls.count(call)) return LINEERR_INVALCALLHANDLE;
    FreeCall(call);
    return 0;
}

LONG WINAPI lineAccept(HCALL callHandle, LPCSTR, DWORD) {
    Locked lock;
    NoteCallThread(callHandle);
    auto call = gCalls.find(callHandle);
    if (call == gCalls.end()) return LINEERR_INVALCALLHANDLE;
    if (call->second.state != LINECALLSTATE_OFFERING) return LINEERR_INVALCALLSTATE;
    call->second.state = LINECALLSTATE_ACCEPTED;
    return NotifyReply(call->second.line, 0);
}

LONG WINAPI lineAnswer(HCALL callHandle, LPCSTR, DWORD) {
    Locked lock;
    NoteCallThread(callHandle);
    auto call = gCalls.find(callHandle);
    if (call == gCalls.end()) return LINEERR_INVALCALLHANDLE;
    if (call->second.state != LINECALLSTATE_OFFERING && call->second.state != LINECALLSTATE_ACCEPTED)
        return LINEERR_INVALCALLSTATE;
    call->second.state = LINECALLSTATE_CONNECTED;
    const LONG request = NotifyReply(call->second.line, 0);
    NotifyCall(callHandle, LINECALLSTATE_CONNECTED, 0);
    return request;
}

// A line with calls that are still allocated is not closed.
LONG WINAPI lineClose(HLINE line) {
    Locked lock;
    if (!gLines.count(line)) return LINEERR_INVALLINEHANDLE;
    for (const auto &call : gCalls)
        if (call.second.line == line) return LINEERR_OPERATIONUNAVAIL;
    gLines.erase(line);
    --gState.lines;
    return 0;
}

} // extern "C"

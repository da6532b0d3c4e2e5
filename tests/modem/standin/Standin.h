/* What a test asks of the stand-in telephony library (tapi32.dll of the
 * tests) and what it reads back. The test finds these functions in the
 * loaded tapi32.dll with GetProcAddress. */
#ifndef QUILLON_TAPI_STANDIN_H
#define QUILLON_TAPI_STANDIN_H

#include <windows.h>

/* The fate of the next placed call. */
enum StandinFate {
    FATE_CONNECT = 0,      /* connects; param: ms after which the far side hangs up (0: never) */
    FATE_BUSY = 1,
    FATE_NO_ANSWER = 2,
    FATE_NO_DIAL_TONE = 3,
    FATE_REFUSED = 4,      /* lineMakeCall fails at once */
    FATE_FAILED_REPLY = 5, /* lineMakeCall is accepted, its reply fails */
    FATE_RINGS_ON = 6,     /* stays proceeding until dropped */
};

struct StandinState {
    LONG apps;              /* initialised and not shut down */
    LONG lines;             /* open */
    LONG calls;             /* allocated */
    LONG callsPlaced;       /* lineMakeCall calls that placed a call */
    LONG serialHandles;     /* handles given out by lineGetID */
    LONG linesLeftToShutdown; /* lines that lineShutdown had to close */
    LONG callsLeftToShutdown; /* calls that lineShutdown had to free */
    char lastNumber[64];
    DWORD appThread;        /* the thread that initialised the last application */
    LONG offThreadCalls;    /* call functions called on a thread other than their application's */
};

typedef void(__cdecl *StandinResetFn)(void);
/* A device: permanent identifier, line name (may be null), media modes,
 * whether its capabilities can be read, its COM port and its call rate. */
typedef void(__cdecl *StandinAddDeviceFn)(DWORD permanentId, const char *name, DWORD mediaModes, int readable,
                                          unsigned comPort, DWORD rate);
typedef void(__cdecl *StandinQueueCallFn)(int fate, DWORD param);
/* An incoming call on the open line of a device; param as FATE_CONNECT.
 * Returns 0 when no line of that device is open. */
typedef int(__cdecl *StandinRingFn)(DWORD device, DWORD hangUpAfterMs);
/* The service closes the open line of a device (LINE_CLOSE). */
typedef int(__cdecl *StandinCloseLineFn)(DWORD device);
typedef void(__cdecl *StandinGetStateFn)(struct StandinState *state);
/* Replies to requests made from now on reach the application ms later (0:
 * at once); the notifications queued behind a reply wait for it, except the
 * closing of a line. */
typedef void(__cdecl *StandinDelayRepliesFn)(DWORD ms);

#endif

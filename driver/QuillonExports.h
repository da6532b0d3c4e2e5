// The flat functions that the driver DLL exports, as a host declares them to
// look them up with GetProcAddress.
#pragma once

#include "base/DriverInterfaces.h"

extern "C" {
typedef int(__cdecl *drvCreateDriverInstance_t)(IUnknown *hostObject, quillon::IIODriverInstance **driver);
typedef const char *(__cdecl *drvGetDriverName_t)(void);
typedef long(__cdecl *drvGetCaps_t)(void);
typedef void(__cdecl *drvSetSettingsHandle_t)(HVALUE settings);
typedef short(__cdecl *drvDriverDialog_t)(HWND parent);
typedef short(__cdecl *drvStartComm_t)(DWORD a, DWORD b, DWORD c, DWORD d);
typedef short(__cdecl *drvStopComm_t)(DWORD a, DWORD b, DWORD c, DWORD d);
typedef short(__cdecl *drvIO_t)(quillon::DriverRequest *request, HVALUE value);
typedef short(__cdecl *drvGetStatus_t)(const char *name, HVALUE value);
typedef short(__cdecl *drvSetStatus_t)(const char *name, HVALUE value);
typedef short(__cdecl *drvGetDriverObject_t)(quillon::IIODriverInstance **driver);
typedef unsigned(__cdecl *ChanferLibGetVersion_t)(void);
typedef unsigned(__cdecl *ChanferLibGetVersionFull_t)(void);
}

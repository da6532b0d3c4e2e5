// The interfaces through which a supervisory host drives a driver object.
#pragma once

#include "base/DriverRequest.h"
#include "base/TagInfo.h"
#include "values/hvcore.h"

#include <windows.h>
#include <unknwn.h>

namespace quillon {

struct IIOTagBrowser;

struct IIODriverInstance : IUnknown {
    virtual const char *STDMETHODCALLTYPE GetDriverName() = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSettingsHandle(HVALUE settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE DriverDialog(HWND parent) = 0;
    virtual long STDMETHODCALLTYPE GetCaps() = 0;
    virtual HRESULT STDMETHODCALLTYPE StartComm(DWORD a, DWORD b, DWORD c, DWORD d) = 0;
    virtual HRESULT STDMETHODCALLTYPE StopComm(DWORD a, DWORD b, DWORD c, DWORD d) = 0;
    virtual HRESULT STDMETHODCALLTYPE IO(DriverRequest *request, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStatus(const char *name, HVALUE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStatus(const char *name, HVALUE value) = 0;
};

struct IIOParseTag : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Validate(const wchar_t *device, const wchar_t *item, TagInfo *info) = 0;
};

struct IIOImportTags : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE BrowseTags(IIOTagBrowser *browser) = 0;
};

// Status codes of the toolkit.
constexpr HRESULT IO_E_RECEIVE_TIMEOUT = static_cast<HRESULT>(0x8004E000);
constexpr HRESULT IO_E_INTERFACE_NONE = static_cast<HRESULT>(0x8004E001);
constexpr HRESULT IO_E_NOT_VALIDATED = static_cast<HRESULT>(0x8004E004);
constexpr HRESULT IO_E_TAG_NOT_ACCEPTED = static_cast<HRESULT>(0x8004E007);
constexpr HRESULT IO_E_NOT_STARTED = static_cast<HRESULT>(0x8004E010);
constexpr HRESULT IO_S_LINK_STARTING = static_cast<HRESULT>(0x0004E00F);

// Texts and numbers the driver reports about itself.
constexpr const char DRIVER_NAME[] = "Driver Tarvel VBScript v1.1.3 (ChanferLib v2.0.25)";
constexpr const char DRIVER_TITLE[] = "Driver Tarvel VBScript v1.1.3";
constexpr const char TOOLKIT_VERSION_TEXT[] = "2.0.25";
constexpr long DRIVER_CAPS = 47;
constexpr unsigned TOOLKIT_VERSION = 0x0200;
constexpr unsigned TOOLKIT_VERSION_FULL = 0x02000019;

} // namespace quillon

// GCC ignores the uuid attribute; MinGW's own declaration serves __uuidof.
__CRT_UUID_DECL(quillon::IIODriverInstance, 0xBC758971, 0xD406, 0x407F, 0xA6, 0xC7, 0xCD, 0x56, 0x75, 0x2C, 0x50, 0xE3)
__CRT_UUID_DECL(quillon::IIOParseTag, 0xD74B266B, 0xBF47, 0x461D, 0x9C, 0x97, 0x9C, 0xE6, 0x5B, 0xF9, 0xDA, 0x1B)
__CRT_UUID_DECL(quillon::IIOImportTags, 0x0F2083A6, 0xDAC2, 0x4A72, 0x9E, 0xD1, 0xD1, 0x25, 0xC5, 0xC0, 0x34, 0x38)

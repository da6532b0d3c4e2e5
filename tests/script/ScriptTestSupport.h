// Helpers shared by the script tests: a log file to read back and a small
// hand-written automation object.
#pragma once

#include "log/IOGlobals.h"

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace quillon::test {

const HRESULT kFailure = static_cast<HRESULT>(0x80040201);

// Globals whose logger writes to a temporary file of their own.
class LoggedGlobals {
public:
    LoggedGlobals();
    ~LoggedGlobals();
    LoggedGlobals(const LoggedGlobals &) = delete;
    LoggedGlobals &operator=(const LoggedGlobals &) = delete;

    CIOGlobals *get() const { return globals_; }
    // The messages of the DRIVER lines written after the banner, without
    // line headers.
    std::vector<std::string> DriverMessages() const;

private:
    CIOGlobals *globals_;
    std::string path_;
};

// An IDispatch with the members
//   Add(a, b)   returns a + b
//   Note(text)  appends text to notes
//   Fail        raises kFailure with source "Device", text "device offline"
//   (default)   returns defaultValue, or the object itself when returnsSelf
class TestObject : public IDispatch {
public:
    TestObject();
    virtual ~TestObject();

    ULONG refs() const { return refs_; }
    std::vector<std::string> notes;
    VARIANT defaultValue;
    bool returnsSelf = false;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT *count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                        EXCEPINFO *exception, UINT *) override;

private:
    ULONG refs_ = 1;
};

} // namespace quillon::test

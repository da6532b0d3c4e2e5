#include "tests/script/ScriptTestSupport.h"

#include "base/ComText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace quillon::test {

namespace {

// The driver leaves COM to its host; the test program is that host.
class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

const ::testing::Environment *const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

enum : DISPID { kAdd = 1, kNote = 2, kFail = 3 };

} // namespace

LoggedGlobals::LoggedGlobals() : globals_(CIOGlobals::Create(nullptr)) {
    char directory[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    GetTempFileNameA(directory, "qsc", 0, name);
    path_ = name;
    if (globals_) globals_->Logger()->SetLogFile(path_.c_str());
}

LoggedGlobals::~LoggedGlobals() {
    if (globals_) {
        globals_->Logger()->Close();
        globals_->Release();
    }
    DeleteFileA(path_.c_str());
}

std::vector<std::string> LoggedGlobals::DriverMessages() const {
    std::ifstream file(path_, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    const std::string marker = " DRIVER\t";
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t at = line.find(marker);
        if (at != std::string::npos) messages.push_back(line.substr(at + marker.size()));
        start = end + 2;
    }
    // The first two are the logger's banner.
    messages.erase(messages.begin(), messages.begin() + std::min<size_t>(2, messages.size()));
    return messages;
}

TestObject::TestObject() { VariantInit(&defaultValue); }

TestObject::~TestObject() { VariantClear(&defaultValue); }

STDMETHODIMP TestObject::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *out = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) TestObject::AddRef() { return ++refs_; }

// Owned by the tests (on the stack): the count is only observed.
STDMETHODIMP_(ULONG) TestObject::Release() { return --refs_; }

STDMETHODIMP TestObject::GetTypeInfoCount(UINT *count) {
    *count = 0;
    return S_OK;
}

STDMETHODIMP TestObject::GetTypeInfo(UINT, LCID, ITypeInfo **info) {
    *info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP TestObject::GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        if (lstrcmpiW(names[i], L"Add") == 0)
            ids[i] = kAdd;
        else if (lstrcmpiW(names[i], L"Note") == 0)
            ids[i] = kNote;
        else if (lstrcmpiW(names[i], L"Fail") == 0)
            ids[i] = kFail;
        else {
            ids[i] = DISPID_UNKNOWN;
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

STDMETHODIMP TestObject::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS *params, VARIANT *result,
                                EXCEPINFO *exception, UINT *) {
    switch (id) {
    case DISPID_VALUE:
        if (!result) return E_INVALIDARG;
        if (returnsSelf) {
            AddRef();
            result->vt = VT_DISPATCH;
            result->pdispVal = this;
            return S_OK;
        }
        return VariantCopy(result, &defaultValue);
    case kAdd: {
        if (params->cArgs != 2) return DISP_E_BADPARAMCOUNT;
        VARIANT a, b;
        VariantInit(&a);
        VariantInit(&b);
        // Arguments arrive last first.
        if (FAILED(VariantChangeType(&a, &params->rgvarg[1], 0, VT_I4)) ||
            FAILED(VariantChangeType(&b, &params->rgvarg[0], 0, VT_I4)))
            return DISP_E_TYPEMISMATCH;
        if (result) {
            VariantInit(result);
            result->vt = VT_I4;
            result->lVal = a.lVal + b.lVal;
        }
        return S_OK;
    }
    case kNote: {
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        VARIANT text;
        VariantInit(&text);
        if (FAILED(VariantChangeType(&text, &params->rgvarg[0], 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
        notes.push_back(NarrowFromWide(text.bstrVal));
        VariantClear(&text);
        return S_OK;
    }
    case kFail:
        if (!exception) return kFailure;
        *exception = EXCEPINFO{};
        exception->bstrSource = SysAllocString(L"Device");
        exception->bstrDescription = SysAllocString(L"device offline");
        exception->scode = kFailure;
        return DISP_E_EXCEPTION;
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

} // namespace quillon::test

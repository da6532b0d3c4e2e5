// The objects' own answers to plain calls and names agree with the type
// description's (DispInvoke, DispGetIDsOfNames), and every other call gives
// exactly what DispInvoke gives.
#include "script/RequestObject.h"
#include "script/ValueObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using test::ObjectsTest;

// What one Invoke gave back.
struct Outcome {
    HRESULT hr = S_OK;
    VARTYPE type = VT_EMPTY;
    std::wstring text; // the result as text, when it has one
    SCODE scode = 0;
    std::wstring source, description;
    UINT argError = 0;
};

bool operator==(const Outcome &a, const Outcome &b) {
    return a.hr == b.hr && a.type == b.type && a.text == b.text && a.scode == b.scode && a.source == b.source &&
           a.description == b.description && a.argError == b.argError;
}

void PrintTo(const Outcome &o, std::ostream *out) {
    *out << std::hex << "hr=" << o.hr << " vt=" << o.type << " scode=" << o.scode << " argError=" << o.argError
         << " text='" << std::string(o.text.begin(), o.text.end()) << "' source='"
         << std::string(o.source.begin(), o.source.end()) << "' description='"
         << std::string(o.description.begin(), o.description.end()) << "'";
}

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

// One call: member id with flags and args (given first to last, as a script
// writes them), the last one named DISPID_PROPERTYPUT when put is set.
struct Call {
    DISPID id;
    WORD flags;
    std::vector<VARIANT> args;
    bool put = false;
    bool wantResult = true;
};

template <class Invoker> Outcome Perform(const Call &call, Invoker invoke) {
    std::vector<VARIANT> reversed(call.args.rbegin(), call.args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), call.put ? &named : nullptr,
                         static_cast<UINT>(reversed.size()), call.put ? 1u : 0u};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    Outcome outcome;
    outcome.hr = invoke(call.flags, &params, call.wantResult ? &result : nullptr, &exception, &outcome.argError);
    outcome.type = result.vt;
    VARIANT text;
    VariantInit(&text);
    if (result.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&text, &result, 0, VT_BSTR)))
        outcome.text = Text(text.bstrVal);
    VariantClear(&text);
    VariantClear(&result);
    outcome.scode = exception.scode;
    outcome.source = Text(exception.bstrSource);
    outcome.description = Text(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return outcome;
}

VARIANT Long(long value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Double(double value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

// A static text (the VARIANT does not own it).
VARIANT Bstr(BSTR text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

class FastDispatchTest : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        text_ = SysAllocString(L"12");
        word_ = SysAllocString(L"not a number");
    }
    void TearDown() override {
        SysFreeString(text_);
        SysFreeString(word_);
        ObjectsTest::TearDown();
    }

    DISPID Id(IDispatch *object, const wchar_t *name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) << std::string(name, name + wcslen(name));
        return id;
    }

    // The object's own Invoke and DispInvoke agree on call.
    void ExpectSame(IDispatch *object, ITypeInfo *info, const Call &call) {
        const Outcome own = Perform(call, [&](WORD flags, DISPPARAMS *params, VARIANT *result, EXCEPINFO *exception,
                                              UINT *argError) {
            return object->Invoke(call.id, IID_NULL, 0, flags, params, result, exception, argError);
        });
        const Outcome typed = Perform(call, [&](WORD flags, DISPPARAMS *params, VARIANT *result,
                                                EXCEPINFO *exception, UINT *argError) {
            return DispInvoke(object, info, call.id, flags, params, result, exception, argError);
        });
        EXPECT_EQ(typed, own) << "member " << call.id << " flags " << call.flags;
    }

    BSTR text_ = nullptr;
    BSTR word_ = nullptr;
};

TEST_F(FastDispatchTest, NamesAgreeWithTheTypeDescription) {
    DriverRequest record = {};
    CRequestObject *request = nullptr;
    ASSERT_EQ(S_OK, CRequestObject::Create(requestInfo_.get(), record, &request));
    ComPtr<CRequestObject> requestObject = ComPtr<CRequestObject>::Attach(request);
    HValue value = HValue::Create();
    ComPtr<IValueObject> valueObject = MakeValue(value.get(), false);

    struct Case {
        IDispatch *object;
        ITypeInfo *info;
    } objects[] = {{requestObject.get(), requestInfo_.get()}, {valueObject.get(), valueInfo_.get()}};
    const wchar_t *names[] = {L"N1",       L"n4",        L"SIZE",     L"paramdevice", L"ParamItem", L"FailRequest",
                              L"issucceeded", L"Value",  L"vALUE",    L"Quality",     L"Timestamp", L"DimAsList",
                              L"AddToList", L"Missing", L"N\u00e91", L"",            L"QueryInterface"};
    for (const Case &object : objects) {
        for (const wchar_t *name : names) {
            LPOLESTR one[] = {const_cast<LPOLESTR>(name)};
            DISPID own = 17, typed = 17;
            EXPECT_EQ(DispGetIDsOfNames(object.info, one, 1, &typed),
                      object.object->GetIDsOfNames(IID_NULL, one, 1, 0, &own));
            EXPECT_EQ(typed, own);
        }
        // A member with an argument name.
        LPOLESTR two[] = {const_cast<LPOLESTR>(L"AddToList"), const_cast<LPOLESTR>(L"pvarValue")};
        DISPID own[2] = {17, 17}, typed[2] = {17, 17};
        EXPECT_EQ(DispGetIDsOfNames(object.info, two, 2, typed),
                  object.object->GetIDsOfNames(IID_NULL, two, 2, 0, own));
        EXPECT_EQ(typed[0], own[0]);
        EXPECT_EQ(typed[1], own[1]);
    }
}

TEST_F(FastDispatchTest, RequestCallsAgreeWithDispInvoke) {
    DriverRequest record = {};
    record.n1 = -1;
    record.n2 = 2;
    record.blockSize = 8;
    record.paramItem = L"Item";
    CRequestObject *raw = nullptr;
    ASSERT_EQ(S_OK, CRequestObject::Create(requestInfo_.get(), record, &raw));
    ComPtr<CRequestObject> request = ComPtr<CRequestObject>::Attach(raw);
    const WORD get = DISPATCH_PROPERTYGET, both = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

    for (const wchar_t *name : {L"N1", L"N2", L"N3", L"N4", L"Size", L"ParamDevice", L"ParamItem", L"IsSucceeded"}) {
        const DISPID id = Id(request.get(), name);
        ExpectSame(request.get(), requestInfo_.get(), {id, get, {}});
        ExpectSame(request.get(), requestInfo_.get(), {id, both, {}});
        ExpectSame(request.get(), requestInfo_.get(), {id, DISPATCH_METHOD, {}});
        ExpectSame(request.get(), requestInfo_.get(), {id, both, {}, false, false});
        // Arguments the member does not take, or a put.
        ExpectSame(request.get(), requestInfo_.get(), {id, both, {Long(1)}});
        ExpectSame(request.get(), requestInfo_.get(), {id, DISPATCH_PROPERTYPUT, {Long(1)}, true});
    }
    const DISPID fail = Id(request.get(), L"FailRequest");
    ExpectSame(request.get(), requestInfo_.get(), {fail, DISPATCH_METHOD, {Long(1)}, false, false});
    ExpectSame(request.get(), requestInfo_.get(), {fail, DISPATCH_PROPERTYGET, {}, false, false});
    ExpectSame(request.get(), requestInfo_.get(), {fail, DISPATCH_METHOD, {}, false, false});
    ExpectSame(request.get(), requestInfo_.get(), {Id(request.get(), L"IsSucceeded"), both, {}});
    ExpectSame(request.get(), requestInfo_.get(), {12345, both, {}});
}

TEST_F(FastDispatchTest, ValueCallsAgreeWithDispInvoke) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> writable = MakeValue(value.get(), false);
    ComPtr<IValueObject> readOnly = MakeValue(value.get(), true);
    const WORD both = DISPATCH_PROPERTYGET | DISPATCH_METHOD;
    DATE date = 45000.5;
    VARIANT day;
    VariantInit(&day);
    day.vt = VT_DATE;
    day.date = date;

    for (IValueObject *object : {writable.get(), readOnly.get()}) {
        const DISPID valueId = Id(object, L"Value");
        const DISPID qualityId = Id(object, L"Quality");
        const DISPID timestampId = Id(object, L"Timestamp");
        for (const VARIANT &argument : {Long(42), Double(2.5), Bstr(text_), Bstr(word_), Missing(), day}) {
            ExpectSame(object, valueInfo_.get(), {valueId, DISPATCH_PROPERTYPUT, {argument}, true});
            ExpectSame(object, valueInfo_.get(), {valueId, both, {}});
            ExpectSame(object, valueInfo_.get(), {qualityId, DISPATCH_PROPERTYPUT, {argument}, true});
            ExpectSame(object, valueInfo_.get(), {qualityId, both, {}});
            ExpectSame(object, valueInfo_.get(), {timestampId, DISPATCH_PROPERTYPUT, {argument}, true});
            ExpectSame(object, valueInfo_.get(), {timestampId, both, {}});
        }
        // Out of range, unnamed, missing and surplus arguments.
        ExpectSame(object, valueInfo_.get(), {qualityId, DISPATCH_PROPERTYPUT, {Long(256)}, true});
        ExpectSame(object, valueInfo_.get(), {qualityId, DISPATCH_PROPERTYPUT, {Long(-1)}, true});
        ExpectSame(object, valueInfo_.get(), {qualityId, DISPATCH_PROPERTYPUT, {Long(7)}});
        ExpectSame(object, valueInfo_.get(), {valueId, DISPATCH_PROPERTYPUT, {}, false});
        ExpectSame(object, valueInfo_.get(), {valueId, DISPATCH_PROPERTYPUT, {Long(1), Long(2)}, true});
        ExpectSame(object, valueInfo_.get(), {valueId, DISPATCH_PROPERTYPUTREF, {Long(1)}, true});
        ExpectSame(object, valueInfo_.get(), {valueId, both, {Long(1)}});
        ExpectSame(object, valueInfo_.get(), {valueId, DISPATCH_PROPERTYGET, {}, false, false});
    }
}

// A request object whose N1 fails on its fast road and counts its calls.
class FailingRequest : public CDispatchTemplate<IRequestObject> {
public:
    explicit FailingRequest(ITypeInfo *info) : CDispatchTemplate(info, kFastNames, sizeof kFastNames / sizeof kFastNames[0]) {}
    int calls = 0;

    STDMETHODIMP get_N1(long *) override {
        ++calls;
        return RaiseScriptError(test::kFailure, L"N1 is out of reach");
    }
    STDMETHODIMP get_N2(long *) override { return E_NOTIMPL; }
    STDMETHODIMP get_N3(long *) override { return E_NOTIMPL; }
    STDMETHODIMP get_N4(long *) override { return E_NOTIMPL; }
    STDMETHODIMP get_Size(long *) override { return E_NOTIMPL; }
    STDMETHODIMP get_ParamDevice(BSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP get_ParamItem(BSTR *) override { return E_NOTIMPL; }
    STDMETHODIMP FailRequest() override { return E_NOTIMPL; }
    STDMETHODIMP IsSucceeded(VARIANT_BOOL *) override { return E_NOTIMPL; }

protected:
    HRESULT InvokeFast(int fast, WORD flags, const DISPPARAMS &params, VARIANT *result) override {
        if (fast != 0 || !IsPlainGet(flags, params, result)) return S_FALSE;
        long n1 = 0;
        const HRESULT hr = get_N1(&n1);
        if (SUCCEEDED(hr)) {
            result->vt = VT_I4;
            result->lVal = n1;
        }
        return hr;
    }

private:
    // The request object's own list: the member table is shared by every
    // object of the interface.
    static constexpr const wchar_t *kFastNames[] = {L"N1",          L"N2",       L"N3",        L"N4",
                                                    L"Size",        L"ParamDevice", L"ParamItem", L"FailRequest",
                                                    L"IsSucceeded"};
};

// A fast member that fails is run once, and its failure reaches the caller
// as DispInvoke reports a member's failure.
TEST_F(FastDispatchTest, FailingFastMemberRunsOnce) {
    FailingRequest object(requestInfo_.get());
    const DISPID id = Id(&object, L"N1");
    const Outcome own = Perform({id, DISPATCH_PROPERTYGET, {}}, [&](WORD flags, DISPPARAMS *params, VARIANT *result,
                                                                   EXCEPINFO *exception, UINT *argError) {
        return object.Invoke(id, IID_NULL, 0, flags, params, result, exception, argError);
    });
    EXPECT_EQ(1, object.calls);
    EXPECT_EQ(DISP_E_EXCEPTION, own.hr);
    EXPECT_EQ(test::kFailure, own.scode);
    EXPECT_EQ(L"Quillon", own.source);
    EXPECT_EQ(L"N1 is out of reach (80040201)", own.description);
    const Outcome typed = Perform({id, DISPATCH_PROPERTYGET, {}}, [&](WORD flags, DISPPARAMS *params, VARIANT *result,
                                                                     EXCEPINFO *exception, UINT *argError) {
        return DispInvoke(static_cast<IRequestObject *>(&object), requestInfo_.get(), id, flags, params, result,
                          exception, argError);
    });
    // The result of a failed read is DispInvoke's own affair.
    EXPECT_EQ(typed.hr, own.hr);
    EXPECT_EQ(typed.scode, own.scode);
    EXPECT_EQ(typed.source, own.source);
    EXPECT_EQ(typed.description, own.description);
    EXPECT_EQ(2, object.calls);
}

} // namespace
} // namespace quillon

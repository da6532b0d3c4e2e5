#include "script/ScriptObjects.h"
#include "script/ValueObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include "base/Module.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using test::ObjectsTest;
using test::RefCount;

struct Member {
    const wchar_t *name;
    DISPID id;
    unsigned slot; // vtable slot of the first accessor
};

// The interface (not dispatch) description behind a dual interface's.
ComPtr<ITypeInfo> InterfaceOf(ITypeInfo *dispatch) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> result;
    if (SUCCEEDED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) dispatch->GetRefTypeInfo(ref, result.put());
    return result;
}

void ExpectLayout(HRESULT (*load)(ITypeInfo **), REFIID iid, const std::vector<Member> &members) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, load(info.put()));
    TYPEATTR *attributes = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(iid, attributes->guid));
    EXPECT_EQ(TKIND_DISPATCH, attributes->typekind);
    // The library stores hidden, dual, automation-compatible, dispatchable
    // (0x1150) with the interface; its dispatch view leaves out
    // automation-compatible.
    EXPECT_EQ(0x1050, attributes->wTypeFlags);
    info->ReleaseTypeAttr(attributes);

    ComPtr<ITypeInfo> vtable = InterfaceOf(info.get());
    ASSERT_TRUE(vtable);
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attributes));
    EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
    EXPECT_EQ(0x1150, attributes->wTypeFlags);
    vtable->ReleaseTypeAttr(attributes);
    for (const Member &member : members) {
        SCOPED_TRACE(std::string(member.name, member.name + wcslen(member.name)));
        LPOLESTR name = const_cast<LPOLESTR>(member.name);
        MEMBERID id = 0;
        ASSERT_EQ(S_OK, info->GetIDsOfNames(&name, 1, &id));
        EXPECT_EQ(member.id, id);
        MEMBERID vtableId = 0;
        ASSERT_EQ(S_OK, vtable->GetIDsOfNames(&name, 1, &vtableId));
        TYPEATTR *vtableAttributes = nullptr;
        ASSERT_EQ(S_OK, vtable->GetTypeAttr(&vtableAttributes));
        const WORD count = vtableAttributes->cFuncs;
        vtable->ReleaseTypeAttr(vtableAttributes);
        // The first function of that id is the first accessor.
        for (UINT i = 0; i < count; ++i) {
            FUNCDESC *function = nullptr;
            ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &function));
            const bool match = function->memid == vtableId;
            const SHORT offset = function->oVft;
            vtable->ReleaseFuncDesc(function);
            if (match) {
                EXPECT_EQ(member.slot * sizeof(void *), static_cast<size_t>(offset));
                break;
            }
        }
    }
}

TEST(TypeLibraryTest, LibraryIsEmbeddedInTheModule) {
    wchar_t path[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(ThisModule(), path, MAX_PATH));
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLib(path, library.put()));
    TLIBATTR *attributes = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(LIBID_Quillon, attributes->guid));
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(1, attributes->wMinorVerNum);
    EXPECT_EQ(0x0409u, attributes->lcid);
    library->ReleaseTLibAttr(attributes);
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"Quillon", name);
    SysFreeString(name);
    // The three script objects, and the link object's interface and class.
    EXPECT_EQ(5u, library->GetTypeInfoCount());
}

// Slots: 0-2 IUnknown, 3-6 IDispatch, the interface's own from 7.
TEST(TypeLibraryTest, RequestMembersMatchTheDeclaration) {
    ExpectLayout(LoadRequestTypeInfo, __uuidof(IRequestObject),
                 {{L"N1", 0x60020000, 7}, {L"N2", 0x60020001, 8}, {L"N3", 0x60020002, 9},
                  {L"N4", 0x60020003, 10}, {L"Size", 0x60020004, 11}, {L"ParamDevice", 0x60020005, 12},
                  {L"ParamItem", 0x60020006, 13}, {L"FailRequest", 0x60020007, 14},
                  {L"IsSucceeded", 0x60020008, 15}});
}

TEST(TypeLibraryTest, ValueMembersMatchTheDeclaration) {
    ExpectLayout(LoadValueTypeInfo, __uuidof(IValueObject),
                 {{L"Value", 0x60020000, 7}, {L"Timestamp", 0x60020002, 9}, {L"Quality", 0x60020004, 11},
                  {L"DimAsList", 0x60020006, 13}, {L"AddToList", 0x60020007, 14},
                  {L"PrivGetHVALUE", 0x60020008, 15}});
}

TEST(TypeLibraryTest, DriverHostMembersMatchTheDeclaration) {
    ExpectLayout(LoadDriverHostTypeInfo, __uuidof(IDriverHost),
                 {{L"NewValue", 0x60020000, 7}, {L"CreateDotNetObject", 0x60020001, 8}, {L"Trace", 0x60020002, 9}});
}

TEST(TypeLibraryTest, LoadersRefuseNullOut) {
    EXPECT_EQ(E_POINTER, LoadRequestTypeInfo(nullptr));
    EXPECT_EQ(E_POINTER, LoadValueTypeInfo(nullptr));
    EXPECT_EQ(E_POINTER, LoadDriverHostTypeInfo(nullptr));
}

TEST_F(ObjectsTest, DispatchAnswersOnlyItsInterfaces) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IProvideClassInfo, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    for (REFIID iid : {IID_IUnknown, IID_IDispatch, __uuidof(IValueObject)}) {
        ASSERT_EQ(S_OK, object->QueryInterface(iid, &out));
        EXPECT_EQ(static_cast<void *>(object.get()), out);
        static_cast<IUnknown *>(out)->Release();
    }
    EXPECT_EQ(1u, RefCount(object.get()));

    UINT count = 0;
    EXPECT_EQ(E_POINTER, object->GetTypeInfoCount(nullptr));
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(E_POINTER, object->GetTypeInfo(0, 0, nullptr));
    EXPECT_EQ(DISP_E_BADINDEX, object->GetTypeInfo(1, 0, info.put()));
    EXPECT_FALSE(info);
    EXPECT_EQ(S_OK, object->GetTypeInfo(0, 0, info.put()));
    EXPECT_EQ(valueInfo_.get(), info.get());

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"Quality"), const_cast<LPOLESTR>(L"Value")};
    DISPID ids[2] = {};
    EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, names, 1, 0, ids));
    EXPECT_EQ(0x60020004, ids[0]);
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, object->GetIDsOfNames(IID_IDispatch, names, 2, 0, ids));
    EXPECT_EQ(DISPID_UNKNOWN, ids[0]);
    EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
    EXPECT_EQ(E_POINTER, object->GetIDsOfNames(IID_IDispatch, names, 2, 0, nullptr));

    DISPPARAMS none = {};
    VARIANT result;
    result.vt = VT_I4;
    EXCEPINFO exception;
    memset(&exception, 0xAB, sizeof exception);
    UINT argError = 7;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              object->Invoke(0x60020004, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &result, &exception, &argError));
    EXPECT_EQ(VT_EMPTY, result.vt);
    EXPECT_EQ(0u, argError);
    EXPECT_EQ(nullptr, exception.bstrDescription);
    EXPECT_EQ(0, exception.scode);
    EXPECT_EQ(S_OK, object->Invoke(0x60020004, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(192, result.lVal);
    // Value is not the default member.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              object->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
}

} // namespace
} // namespace quillon

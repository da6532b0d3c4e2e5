// The few mscorlib interfaces through which Host.CreateDotNetObject makes
// .NET objects. MinGW has no mscorlib headers; only the slots that the
// driver calls are declared by signature, the ones before them hold their
// places (never called) so that the called ones sit at mscorlib's vtable
// positions: _AppDomain::CreateInstance is slot 37, _ObjectHandle::Unwrap
// slot 14.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace quillon {

struct ObjectHandle;

// System._AppDomain {05F696DC-2B29-3663-AD8B-C4389CF2A713}, an IUnknown
// interface whose first slots repeat IDispatch's.
struct AppDomain : IUnknown {
    virtual void STDMETHODCALLTYPE GetTypeInfoCount() = 0;
    virtual void STDMETHODCALLTYPE GetTypeInfo() = 0;
    virtual void STDMETHODCALLTYPE GetIDsOfNames() = 0;
    virtual void STDMETHODCALLTYPE Invoke() = 0;
    virtual void STDMETHODCALLTYPE get_ToString() = 0;
    virtual void STDMETHODCALLTYPE Equals() = 0;
    virtual void STDMETHODCALLTYPE GetHashCode() = 0;
    virtual void STDMETHODCALLTYPE GetType() = 0;
    virtual void STDMETHODCALLTYPE InitializeLifetimeService() = 0;
    virtual void STDMETHODCALLTYPE GetLifetimeService() = 0;
    virtual void STDMETHODCALLTYPE get_Evidence() = 0;
    virtual void STDMETHODCALLTYPE add_DomainUnload() = 0;
    virtual void STDMETHODCALLTYPE remove_DomainUnload() = 0;
    virtual void STDMETHODCALLTYPE add_AssemblyLoad() = 0;
    virtual void STDMETHODCALLTYPE remove_AssemblyLoad() = 0;
    virtual void STDMETHODCALLTYPE add_ProcessExit() = 0;
    virtual void STDMETHODCALLTYPE remove_ProcessExit() = 0;
    virtual void STDMETHODCALLTYPE add_TypeResolve() = 0;
    virtual void STDMETHODCALLTYPE remove_TypeResolve() = 0;
    virtual void STDMETHODCALLTYPE add_ResourceResolve() = 0;
    virtual void STDMETHODCALLTYPE remove_ResourceResolve() = 0;
    virtual void STDMETHODCALLTYPE add_AssemblyResolve() = 0;
    virtual void STDMETHODCALLTYPE remove_AssemblyResolve() = 0;
    virtual void STDMETHODCALLTYPE add_UnhandledException() = 0;
    virtual void STDMETHODCALLTYPE remove_UnhandledException() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_2() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_3() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_4() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_5() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_6() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_7() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_8() = 0;
    virtual void STDMETHODCALLTYPE DefineDynamicAssembly_9() = 0;
    // Slot 37.
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(BSTR assemblyName, BSTR typeName, ObjectHandle **handle) = 0;
};

// System.Runtime.Remoting._ObjectHandle, an IDispatch interface.
struct ObjectHandle : IDispatch {
    virtual void STDMETHODCALLTYPE get_ToString() = 0;
    virtual void STDMETHODCALLTYPE Equals() = 0;
    virtual void STDMETHODCALLTYPE GetHashCode() = 0;
    virtual void STDMETHODCALLTYPE GetType() = 0;
    virtual void STDMETHODCALLTYPE GetLifetimeService() = 0;
    virtual void STDMETHODCALLTYPE InitializeLifetimeService() = 0;
    virtual void STDMETHODCALLTYPE CreateObjRef() = 0;
    // Slot 14.
    virtual HRESULT STDMETHODCALLTYPE Unwrap(VARIANT *object) = 0;
};

} // namespace quillon

__CRT_UUID_DECL(quillon::AppDomain, 0x05F696DC, 0x2B29, 0x3663, 0xAD, 0x8B, 0xC4, 0x38, 0x9C, 0xF2, 0xA7, 0x13)

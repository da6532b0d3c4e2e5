// The automation interfaces of the objects that the user's script sees, in
// the vtable order of script/Quillon.idl (the type library embedded in the
// driver as resource TYPELIB 1), and the loaders of their type descriptions.
#pragma once

#include "values/hvcore.h"

#include <windows.h>
#include <oaidl.h>

namespace quillon {

// The request being answered: its numbers, size and parameter texts, and
// whether the script lets it succeed.
struct IRequestObject : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_N1(long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_N2(long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_N3(long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_N4(long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Size(long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParamDevice(BSTR *pbstrValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParamItem(BSTR *pbstrValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE FailRequest() = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSucceeded(VARIANT_BOOL *pvbSuccess) = 0;
};

// One value of the host's value library with its quality and timestamp.
struct IValueObject : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE put_Value(VARIANT *pvValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(VARIANT *pvValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Timestamp(DATE dDate) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Timestamp(DATE *pdDate) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Quality(long lQuality) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Quality(long *lQuality) = 0;
    virtual HRESULT STDMETHODCALLTYPE DimAsList() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToList(VARIANT *pvarValue) = 0;
    // The held handle, borrowed. The type library declares it unsigned long,
    // which is the same return register on 32-bit Windows; the driver's own
    // callers use this declaration on every build.
    virtual HVALUE STDMETHODCALLTYPE PrivGetHVALUE() = 0;
};

// The script's global "Host" object.
struct IDriverHost : IDispatch {
    // A missing pvDefaultValue or vTimeStamp arrives as VT_ERROR with
    // DISP_E_PARAMNOTFOUND; lQuality has the type library default 192.
    virtual HRESULT STDMETHODCALLTYPE NewValue(VARIANT *pvDefaultValue, long lQuality, VARIANT vTimeStamp,
                                               IDispatch **ppObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDotNetObject(BSTR bstrAssemblyName, BSTR bstrTypeName,
                                                         IDispatch **ppObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE Trace(BSTR bstrMessage) = 0;
};

// The script's "QuillonLink" object: the driver's link and byte helpers.
// A missing optional argument arrives as VT_ERROR with DISP_E_PARAMNOTFOUND.
struct ILinkObject : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_State(long *plState) = 0;
    virtual HRESULT STDMETHODCALLTYPE Send(VARIANT vData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Receive(long lCount, VARIANT vTimeoutMs, VARIANT *pvData) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReceiveUntil(VARIANT vTerminator, long lMaxCount, VARIANT vTimeoutMs,
                                                   VARIANT *pvData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Transact(VARIANT vData, long lCount, VARIANT vTimeoutMs, VARIANT *pvData) = 0;
    virtual HRESULT STDMETHODCALLTYPE TransactUntil(VARIANT vData, VARIANT vTerminator, long lMaxCount,
                                                    VARIANT vTimeoutMs, VARIANT *pvData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Bytes(VARIANT vData, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hex(VARIANT vData, BSTR *pbstrHex) = 0;
    virtual HRESULT STDMETHODCALLTYPE Concat(VARIANT vFirst, VARIANT vSecond, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Slice(VARIANT vData, long lOffset, long lCount, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Crc16(VARIANT vData, long *plCrc) = 0;
    virtual HRESULT STDMETHODCALLTYPE Lrc(VARIANT vData, long *plLrc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetUInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetUInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian,
                                                double *pdValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFloat(VARIANT vData, long lOffset, VARIANT vLittleEndian, float *pfValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE Int16Bytes(long lValue, VARIANT vLittleEndian, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Int32Bytes(double dValue, VARIANT vLittleEndian, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE FloatBytes(float fValue, VARIANT vLittleEndian, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE TextBytes(BSTR bstrText, VARIANT *pvBytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE BytesText(VARIANT vData, BSTR *pbstrText) = 0;
};

} // namespace quillon

__CRT_UUID_DECL(quillon::ILinkObject, 0xD8160728, 0xDA7A, 0x4169, 0xBD, 0xEF, 0x6A, 0x06, 0xD2, 0xB2, 0x5D, 0x83)
__CRT_UUID_DECL(quillon::IRequestObject, 0xAF3AF581, 0xC6B2, 0x4F5D, 0xA0, 0x68, 0x6C, 0x58, 0x86, 0x5F, 0xEA, 0x4D)
__CRT_UUID_DECL(quillon::IValueObject, 0xEEE3BEA4, 0x76C4, 0x4675, 0x80, 0x4C, 0x9D, 0x65, 0x89, 0xA6, 0x0D, 0x67)
__CRT_UUID_DECL(quillon::IDriverHost, 0x7CD7F9EF, 0x5B08, 0x49FA, 0xA5, 0x42, 0x4E, 0x14, 0x09, 0x30, 0x65, 0xD0)

namespace quillon {

// {4CA37B6E-19A2-434A-B0A8-0782E120FD9A}
constexpr GUID LIBID_Quillon = {0x4CA37B6E, 0x19A2, 0x434A, {0xB0, 0xA8, 0x07, 0x82, 0xE1, 0x20, 0xFD, 0x9A}};

// The interface's description from the type library of ThisModule(), with
// one reference for the caller (null on failure).
HRESULT LoadRequestTypeInfo(ITypeInfo **out);
HRESULT LoadValueTypeInfo(ITypeInfo **out);
HRESULT LoadDriverHostTypeInfo(ITypeInfo **out);
HRESULT LoadLinkTypeInfo(ITypeInfo **out);

// {0E8D351B-586C-4FAB-8065-4CA391A895E3}: the class of the "QuillonLink" object.
constexpr GUID CLSID_QuillonLink = {0x0E8D351B, 0x586C, 0x4FAB, {0x80, 0x65, 0x4C, 0xA3, 0x91, 0xA8, 0x95, 0xE3}};

// Makes code the thread's error with source "Quillon" and the description
// text followed by the code in hexadecimal, so that the script's Err object
// and the engine's error line both tell what failed. Returns code.
HRESULT RaiseScriptError(HRESULT code, const wchar_t *text);
// The same for a failed conversion of a value (code from VariantToValue or
// ValueToVariant): a value nested too deeply is named as such, with the code
// E_INVALIDARG; any other failure gives code and text. Returns the code raised.
HRESULT RaiseConversionError(HRESULT code, const wchar_t *text);

// NoThrow for a member that a script calls: the script sees "Out of memory".
template <class Body>
HRESULT ScriptMember(Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return RaiseScriptError(E_OUTOFMEMORY, L"Out of memory");
    }
}

// The handle of the value object of this driver that v holds (directly, by
// reference, or through a referenced VARIANT), borrowed for as long as v
// keeps the object; null when v holds none.
HVALUE ValueHandleOf(const VARIANT &v);

} // namespace quillon

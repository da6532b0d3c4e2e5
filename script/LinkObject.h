// The script's "QuillonLink" object: sends and receives bytes over the
// driver's own link, and does the byte chores of device protocols.
#pragma once

#include "script/ByteHelpers.h"
#include "script/DispatchTemplate.h"
#include "script/LinkExchange.h"
#include "script/ScriptObjects.h"

namespace quillon {

// Where the object finds the link: the driver host, which has one link at a
// time (or none) and may change it between two calls.
class ILinkSource {
public:
    // Runs one exchange on the link of the moment; on failure error tells why.
    virtual HRESULT RunExchange(const ByteString *send, const ReceiveRule *rule, ByteString &answer,
                                std::wstring &error) = 0;
    // The state of the link of the moment (stopped when there is none).
    virtual long LinkState() = 0;
    // The time-out of a receive that names none, in milliseconds.
    virtual DWORD DefaultTimeoutMs() = 0;

protected:
    ~ILinkSource() = default;
};

class CLinkObject : public CDispatchTemplate<ILinkObject> {
public:
    // The longest time-out a script may give, in milliseconds.
    static constexpr long kMaxTimeoutMs = 60000;

    static HRESULT Create(ITypeInfo *typeInfo, ILinkSource *source, CLinkObject **out);
    // The source goes away: every later link operation fails.
    void Detach() { source_ = nullptr; }

    STDMETHODIMP get_State(long *plState) override;
    STDMETHODIMP Send(VARIANT vData) override;
    STDMETHODIMP Receive(long lCount, VARIANT vTimeoutMs, VARIANT *pvData) override;
    STDMETHODIMP ReceiveUntil(VARIANT vTerminator, long lMaxCount, VARIANT vTimeoutMs, VARIANT *pvData) override;
    STDMETHODIMP Transact(VARIANT vData, long lCount, VARIANT vTimeoutMs, VARIANT *pvData) override;
    STDMETHODIMP TransactUntil(VARIANT vData, VARIANT vTerminator, long lMaxCount, VARIANT vTimeoutMs,
                               VARIANT *pvData) override;
    STDMETHODIMP Bytes(VARIANT vData, VARIANT *pvBytes) override;
    STDMETHODIMP Hex(VARIANT vData, BSTR *pbstrHex) override;
    STDMETHODIMP Concat(VARIANT vFirst, VARIANT vSecond, VARIANT *pvBytes) override;
    STDMETHODIMP Slice(VARIANT vData, long lOffset, long lCount, VARIANT *pvBytes) override;
    STDMETHODIMP Crc16(VARIANT vData, long *plCrc) override;
    STDMETHODIMP Lrc(VARIANT vData, long *plLrc) override;
    STDMETHODIMP GetInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) override;
    STDMETHODIMP GetUInt16(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) override;
    STDMETHODIMP GetInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian, long *plValue) override;
    STDMETHODIMP GetUInt32(VARIANT vData, long lOffset, VARIANT vLittleEndian, double *pdValue) override;
    STDMETHODIMP GetFloat(VARIANT vData, long lOffset, VARIANT vLittleEndian, float *pfValue) override;
    STDMETHODIMP Int16Bytes(long lValue, VARIANT vLittleEndian, VARIANT *pvBytes) override;
    STDMETHODIMP Int32Bytes(double dValue, VARIANT vLittleEndian, VARIANT *pvBytes) override;
    STDMETHODIMP FloatBytes(float fValue, VARIANT vLittleEndian, VARIANT *pvBytes) override;
    STDMETHODIMP TextBytes(BSTR bstrText, VARIANT *pvBytes) override;
    STDMETHODIMP BytesText(VARIANT vData, BSTR *pbstrText) override;

private:
    CLinkObject(ITypeInfo *typeInfo, ILinkSource *source) : CDispatchTemplate(typeInfo), source_(source) {}

    // The exchange behind Receive, ReceiveUntil, Transact and TransactUntil.
    HRESULT Exchange(const wchar_t *member, const VARIANT *data, const VARIANT *terminator, long count,
                     const VARIANT &timeout, VARIANT *out);
    // The bytes of data at offset, width of them, read as an unsigned number.
    HRESULT ReadNumber(const wchar_t *member, const VARIANT &data, long offset, unsigned width,
                       const VARIANT &littleEndian, uint32_t &value);
    // The same, stored through out as convert makes it.
    template <typename Out, typename Convert>
    HRESULT ReadNumber(const wchar_t *member, const VARIANT &data, long offset, unsigned width,
                       const VARIANT &littleEndian, Out *out, Convert convert) {
        if (!out) return E_POINTER;
        uint32_t value = 0;
        const HRESULT hr = ReadNumber(member, data, offset, width, littleEndian, value);
        if (SUCCEEDED(hr)) *out = convert(value);
        return hr;
    }
    HRESULT NumberBytes(const wchar_t *member, uint32_t value, unsigned width, const VARIANT &littleEndian,
                        VARIANT *out);

    ILinkSource *source_;
};

} // namespace quillon

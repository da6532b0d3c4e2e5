// QuillonLink called directly through its interface, as any COM caller may:
// a byte array whose own element type differs from the type its VARIANT
// declares is refused instead of being read by the declared type.
#include "script/LinkObject.h"
#include "script/ScriptObjects.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

using namespace quillon;

namespace {

class CNoLink final : public ILinkSource {
public:
    HRESULT RunExchange(const ByteString *, const ReceiveRule *, ByteString &, std::wstring &error) override {
        error = L"no link";
        return E_FAIL;
    }
    long LinkState() override { return 0; }
    DWORD DefaultTimeoutMs() override { return 1000; }
};

// An array of the given element type holding the numbers, its VARIANT
// declaring another type (or the same).
struct Case {
    VARTYPE declared;
    VARTYPE own;
    std::vector<double> numbers;
    const wchar_t *hex;  // null: refused
};

SAFEARRAY *MakeArray(VARTYPE type, const std::vector<double> &numbers) {
    SAFEARRAY *array = SafeArrayCreateVector(type, 0, static_cast<ULONG>(numbers.size()));
    for (LONG i = 0; array && i < static_cast<LONG>(numbers.size()); ++i) {
        VARIANT number;
        VariantInit(&number);
        number.vt = VT_R8;
        number.dblVal = numbers[static_cast<size_t>(i)];
        VARIANT element;
        VariantInit(&element);
        if (type == VT_VARIANT) {
            SafeArrayPutElement(array, &i, &number);
        } else if (SUCCEEDED(VariantChangeType(&element, &number, 0, type))) {
            SafeArrayPutElement(array, &i, &element.llVal);
        }
    }
    return array;
}

TEST(LinkObjectTest, ArraysAreReadOnlyByTheirOwnElementType) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, LoadLinkTypeInfo(info.put()));
    CNoLink source;
    CLinkObject *raw = nullptr;
    ASSERT_EQ(S_OK, CLinkObject::Create(info.get(), &source, &raw));
    ComPtr<ILinkObject> link = ComPtr<ILinkObject>::Attach(raw);

    const Case cases[] = {
        {VT_UI1, VT_UI1, {1, 2, 3}, L"01 02 03"},
        {VT_I4, VT_I4, {1, 2, 255}, L"01 02 FF"},
        {VT_VARIANT, VT_VARIANT, {7, 8}, L"07 08"},
        // Read as bytes, 257 would pass as 1.
        {VT_UI1, VT_I4, {257, 2, 3}, nullptr},
        // Read as 16-bit numbers, doubles come out as zeros.
        {VT_I2, VT_R8, {1, 2}, nullptr},
        // Read as variants, the bytes' block is overrun.
        {VT_VARIANT, VT_UI1, {1, 2, 3}, nullptr},
        // A variant copied into a single number overruns it.
        {VT_UI1, VT_VARIANT, {1, 2}, nullptr},
    };
    for (const Case &c : cases) {
        const std::string name = std::to_string(c.declared) + " over " + std::to_string(c.own);
        VARIANT value;
        VariantInit(&value);
        value.vt = static_cast<VARTYPE>(VT_ARRAY | c.declared);
        value.parray = MakeArray(c.own, c.numbers);
        ASSERT_NE(nullptr, value.parray) << name;
        BSTR hex = nullptr;
        const HRESULT result = link->Hex(value, &hex);
        if (c.hex) {
            EXPECT_EQ(S_OK, result) << name;
            EXPECT_EQ(std::wstring(c.hex), std::wstring(hex ? hex : L"")) << name;
        } else {
            EXPECT_EQ(E_INVALIDARG, result) << name;
            ComPtr<IErrorInfo> error;
            BSTR description = nullptr;
            if (GetErrorInfo(0, error.put()) == S_OK) error->GetDescription(&description);
            EXPECT_EQ(std::wstring(L"QuillonLink.Hex: the array's elements are not of the type the value declares "
                                   L"(80070057)"),
                      std::wstring(description ? description : L""))
                << name;
            SysFreeString(description);
        }
        SysFreeString(hex);
        // The array is destroyed by its own type.
        value.vt = static_cast<VARTYPE>(VT_ARRAY | c.own);
        VariantClear(&value);
    }
}

} // namespace

#include "script/VariantConversion.h"

#include "base/ComText.h"
#include "script/VBScriptEngine.h"
#include "tests/script/ScriptTestSupport.h"
#include "values/HValue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quillon {
namespace {

using test::TestObject;

// 1970-01-01 00:00:00 as a script date.
const double kEpochDate = 25569.0;

class VariantConversionTest : public ::testing::Test {
protected:
    void TearDown() override {
        value_.reset();
        EXPECT_EQ(liveValues_, hvLiveCount()) << "values leaked";
    }

    // Counted before value_ is made.
    const long liveValues_ = hvLiveCount();
    HValue value_ = HValue::Create();
};

SAFEARRAY *Vector(VARTYPE type, ULONG count, const void *data = nullptr) {
    SAFEARRAY *array = SafeArrayCreateVector(type, 0, count);
    if (array && data) {
        SafeArrayLock(array);
        std::memcpy(array->pvData, data, count * SafeArrayGetElemsize(array));
        SafeArrayUnlock(array);
    }
    return array;
}

const void *NumbersOf(HVALUE value, unsigned type) {
    switch (type) {
    case HV_ARRAY | HV_I8: return hvArrayDataI8(value);
    case HV_ARRAY | HV_U8: return hvArrayDataU8(value);
    case HV_ARRAY | HV_I16: return hvArrayDataI16(value);
    case HV_ARRAY | HV_U16: return hvArrayDataU16(value);
    case HV_ARRAY | HV_I32: return hvArrayDataI32(value);
    case HV_ARRAY | HV_U32: return hvArrayDataU32(value);
    case HV_ARRAY | HV_R32: return hvArrayDataR32(value);
    default: return hvArrayDataR64(value);
    }
}

TEST_F(VariantConversionTest, BooleansBecomeOneAndZero) {
    UniqueVariant source;
    source.get().vt = VT_BOOL;
    source.get().boolVal = VARIANT_TRUE;
    int32_t number = -5;

    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(unsigned(HV_I32), hvGetType(value_.get()));
    ASSERT_TRUE(hvGetI32(value_.get(), &number));
    EXPECT_EQ(1, number);

    source.get().boolVal = VARIANT_FALSE;
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    ASSERT_TRUE(hvGetI32(value_.get(), &number));
    EXPECT_EQ(0, number);
}

TEST_F(VariantConversionTest, NullAndErrorCannotBeStored) {
    UniqueVariant source;
    source.get().vt = VT_NULL;
    hvSetI32(value_.get(), 3);
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(unsigned(HV_NULL), hvGetType(value_.get()));

    source.get().vt = VT_ERROR;
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get()));
    source.get().vt = VT_INT;
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get()));
}

TEST_F(VariantConversionTest, EmptyBecomesNullAndBack) {
    UniqueVariant source;
    hvSetI32(value_.get(), 3);
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(unsigned(HV_NULL), hvGetType(value_.get()));

    UniqueVariant back;
    back.get().vt = VT_I4;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    EXPECT_EQ(VT_EMPTY, back.get().vt);
}

TEST_F(VariantConversionTest, ScalarsKeepTheirTypes) {
    UniqueVariant source;
    source.get().vt = VT_UI2;
    source.get().uiVal = 65000;
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(unsigned(HV_U16), hvGetType(value_.get()));

    UniqueVariant back;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    EXPECT_EQ(VT_UI2, back.get().vt);
    EXPECT_EQ(65000, back.get().uiVal);

    source.get().vt = VT_CY;
    source.get().cyVal.int64 = 12345; // 1.2345
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    double number = 0.0;
    EXPECT_EQ(unsigned(HV_R64), hvGetType(value_.get()));
    ASSERT_TRUE(hvGetR64(value_.get(), &number));
    EXPECT_DOUBLE_EQ(1.2345, number);
}

TEST_F(VariantConversionTest, StringsRoundTrip) {
    UniqueVariant source;
    source.get().vt = VT_BSTR;
    source.get().bstrVal = SysAllocString(L"Hello, device");
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    const char *text = nullptr;
    ASSERT_TRUE(hvGetString(value_.get(), &text));
    EXPECT_STREQ("Hello, device", text);

    UniqueVariant back;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    ASSERT_EQ(VT_BSTR, back.get().vt);
    EXPECT_STREQ(L"Hello, device", back.get().bstrVal);
}

TEST_F(VariantConversionTest, DateRoundsToTheNearestMillisecond) {
    UniqueVariant source;
    source.get().vt = VT_DATE;
    source.get().date = kEpochDate + (43200.0 + 0.4996) / 86400.0;
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    hvTime time = {};
    ASSERT_TRUE(hvGetTime(value_.get(), &time));
    EXPECT_EQ(43200u, time.seconds);
    EXPECT_EQ(500u, time.milliseconds);

    UniqueVariant back;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    ASSERT_EQ(VT_DATE, back.get().vt);
    EXPECT_DOUBLE_EQ(kEpochDate + 43200.5 / 86400.0, back.get().date);
}

TEST_F(VariantConversionTest, DatesBefore1970BecomeTheEpoch) {
    UniqueVariant source;
    source.get().vt = VT_DATE;
    source.get().date = kEpochDate - 400.25;
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    hvTime time = {1, 1};
    ASSERT_TRUE(hvGetTime(value_.get(), &time));
    EXPECT_EQ(0u, time.seconds);
    EXPECT_EQ(0u, time.milliseconds);
}

TEST_F(VariantConversionTest, ScriptArrayBecomesArrayOfValuesAndBack) {
    test::LoggedGlobals globals;
    CVBScriptEngine *engine = nullptr;
    ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals.get(), &engine));
    ASSERT_EQ(S_OK, engine->ParseScript("Sub MakeArray(result)\r\n  result = Array(1, 2, 3)\r\nEnd Sub\r\n"));
    ASSERT_EQ(S_OK, engine->SetState(SCRIPTSTATE_CONNECTED));
    UniqueVariant array;
    EXPECT_EQ(S_OK, engine->RunProcedure("MakeArray", 1, &array.get(), false));
    engine->Close();
    EXPECT_EQ(0u, engine->Release());
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, array.get().vt);

    ASSERT_EQ(S_OK, VariantToValue(array.get(), value_.get()));

    ASSERT_EQ(unsigned(HV_ARRAY | HV_HVAL), hvGetType(value_.get()));
    ASSERT_EQ(3u, hvGetCount(value_.get()));
    for (unsigned i = 0; i < 3; ++i) {
        int32_t number = 0;
        EXPECT_TRUE(hvGetElementI32(value_.get(), i, &number));
        EXPECT_EQ(int32_t(i + 1), number);
    }

    UniqueVariant back;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, back.get().vt);
    ASSERT_EQ(3u, back.get().parray->rgsabound[0].cElements);
    const VARIANT *items = static_cast<const VARIANT *>(back.get().parray->pvData);
    for (unsigned i = 0; i < 3; ++i) {
        int32_t number = 0;
        ASSERT_TRUE(CoerceToI32(items[i], number));
        EXPECT_EQ(int32_t(i + 1), number);
    }
}

TEST_F(VariantConversionTest, ArraysHoldAtMost65535Elements) {
    UniqueVariant source;
    source.get().vt = VT_ARRAY | VT_UI1;
    source.get().parray = Vector(VT_UI1, 65535);
    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(65535u, hvGetCount(value_.get()));

    ASSERT_EQ(S_OK, MakeVectorVariant(VT_UI1, source.get(), 65536, nullptr));
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get()));
    EXPECT_EQ(unsigned(HV_NULL), hvGetType(value_.get()));
}

TEST_F(VariantConversionTest, ArraysMustHaveOneDimension) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};
    UniqueVariant source;
    source.get().vt = VT_ARRAY | VT_I4;
    source.get().parray = SafeArrayCreate(VT_I4, 2, bounds);
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get()));

    VARIANT nothing;
    VariantInit(&nothing);
    nothing.vt = VT_ARRAY | VT_I4;
    EXPECT_EQ(E_POINTER, VariantToValue(nothing, value_.get()));
}

TEST_F(VariantConversionTest, ListsAndNestedValuesCannotBecomeVariants) {
    UniqueVariant target;
    ASSERT_TRUE(hvSetType(value_.get(), HV_LIST, 0));
    EXPECT_EQ(E_INVALIDARG, ValueToVariant(value_.get(), target.get()));
    EXPECT_EQ(VT_EMPTY, target.get().vt);

    ASSERT_TRUE(hvSetType(value_.get(), HV_HVAL, 0));
    EXPECT_EQ(E_INVALIDARG, ValueToVariant(value_.get(), target.get()));
}

TEST_F(VariantConversionTest, TimeArrayBecomesDatesButDatesCannotBeStored) {
    ASSERT_TRUE(hvSetType(value_.get(), HV_ARRAY | HV_TIME, 2));
    const hvTime noon = {43200, 250};
    ASSERT_TRUE(hvSetElementTime(value_.get(), 1, &noon));

    UniqueVariant dates;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), dates.get()));
    ASSERT_EQ(VT_ARRAY | VT_DATE, dates.get().vt);
    ASSERT_EQ(2u, dates.get().parray->rgsabound[0].cElements);
    const DATE *items = static_cast<const DATE *>(dates.get().parray->pvData);
    EXPECT_DOUBLE_EQ(kEpochDate, items[0]);
    EXPECT_DOUBLE_EQ(kEpochDate + 43200.25 / 86400.0, items[1]);

    EXPECT_EQ(E_INVALIDARG, VariantToValue(dates.get(), value_.get()));
}

TEST_F(VariantConversionTest, BooleanAndCurrencyArraysCannotBeStored) {
    for (VARTYPE type : {VT_BOOL, VT_CY, VT_ERROR, VT_DECIMAL}) {
        UniqueVariant source;
        source.get().vt = VT_ARRAY | type;
        source.get().parray = Vector(type, 2);
        EXPECT_EQ(E_INVALIDARG, VariantToValue(source.get(), value_.get())) << type;
    }
}

TEST_F(VariantConversionTest, NumericArraysAreCopiedByteForByte) {
    struct Row {
        VARTYPE variantType;
        unsigned valueType;
    };
    const Row rows[] = {
        {VT_I1, HV_ARRAY | HV_I8},   {VT_UI1, HV_ARRAY | HV_U8},  {VT_I2, HV_ARRAY | HV_I16},
        {VT_UI2, HV_ARRAY | HV_U16}, {VT_I4, HV_ARRAY | HV_I32},  {VT_UI4, HV_ARRAY | HV_U32},
        {VT_R4, HV_ARRAY | HV_R32},  {VT_R8, HV_ARRAY | HV_R64},
    };
    unsigned char pattern[5 * 8];
    for (unsigned i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<unsigned char>(0x11 + 37 * i);
    const ULONG count = 5;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.variantType);
        UniqueVariant source;
        ASSERT_EQ(S_OK, MakeVectorVariant(row.variantType, source.get(), count, pattern));
        const size_t bytes = count * SafeArrayGetElemsize(source.get().parray);

        ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
        ASSERT_EQ(row.valueType, hvGetType(value_.get()));
        ASSERT_EQ(count, hvGetCount(value_.get()));
        EXPECT_EQ(0, std::memcmp(pattern, NumbersOf(value_.get(), row.valueType), bytes));

        UniqueVariant back;
        ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
        ASSERT_EQ(VT_ARRAY | row.variantType, back.get().vt);
        ASSERT_EQ(count, back.get().parray->rgsabound[0].cElements);
        EXPECT_EQ(0, std::memcmp(pattern, back.get().parray->pvData, bytes));
    }
}

TEST_F(VariantConversionTest, StringArraysRoundTrip) {
    BSTR texts[3] = {SysAllocString(L"alpha"), nullptr, SysAllocString(L"gamma")};
    UniqueVariant source;
    ASSERT_EQ(S_OK, MakeVectorVariant(VT_BSTR, source.get(), 3, texts));

    ASSERT_EQ(S_OK, VariantToValue(source.get(), value_.get()));
    ASSERT_EQ(unsigned(HV_ARRAY | HV_STR), hvGetType(value_.get()));
    const char *expected[3] = {"alpha", "", "gamma"};
    for (unsigned i = 0; i < 3; ++i) {
        const char *text = nullptr;
        ASSERT_TRUE(hvGetElementString(value_.get(), i, &text));
        EXPECT_STREQ(expected[i], text);
    }

    UniqueVariant back;
    ASSERT_EQ(S_OK, ValueToVariant(value_.get(), back.get()));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, back.get().vt);
    const BSTR *items = static_cast<const BSTR *>(back.get().parray->pvData);
    EXPECT_STREQ(L"alpha", items[0]);
    EXPECT_STREQ(L"", items[1]);
    EXPECT_STREQ(L"gamma", items[2]);
}

TEST_F(VariantConversionTest, ObjectsGiveTheirDefaultMember) {
    TestObject object;
    object.defaultValue.vt = VT_I4;
    object.defaultValue.lVal = 42;
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_DISPATCH;
    source.pdispVal = &object;

    ASSERT_EQ(S_OK, VariantToValue(source, value_.get()));
    int32_t number = 0;
    ASSERT_TRUE(hvGetI32(value_.get(), &number));
    EXPECT_EQ(42, number);
    EXPECT_EQ(1u, object.refs());

    // Inside an array of objects as well.
    IDispatch *objects[2] = {&object, &object};
    object.AddRef();
    object.AddRef();
    UniqueVariant array;
    ASSERT_EQ(S_OK, MakeVectorVariant(VT_DISPATCH, array.get(), 2, objects));
    ASSERT_EQ(S_OK, VariantToValue(array.get(), value_.get()));
    ASSERT_EQ(unsigned(HV_ARRAY | HV_HVAL), hvGetType(value_.get()));
    ASSERT_TRUE(hvGetElementI32(value_.get(), 1, &number));
    EXPECT_EQ(42, number);
    VariantClear(&array.get());
    EXPECT_EQ(1u, object.refs());
}

TEST_F(VariantConversionTest, DefaultMembersAreFollowedThroughReferences) {
    TestObject inner;
    inner.defaultValue.vt = VT_BSTR;
    inner.defaultValue.bstrVal = SysAllocString(L"inner");
    TestObject outer;
    outer.defaultValue.vt = VT_DISPATCH;
    outer.defaultValue.pdispVal = &inner;
    inner.AddRef();

    IDispatch *pointer = &outer;
    VARIANT byReference;
    VariantInit(&byReference);
    byReference.vt = VT_BYREF | VT_DISPATCH;
    byReference.ppdispVal = &pointer;
    UniqueVariant result;
    ASSERT_EQ(S_OK, GetDefaultMemberValue(byReference, result.get()));
    ASSERT_EQ(VT_BSTR, result.get().vt);
    EXPECT_STREQ(L"inner", result.get().bstrVal);

    VariantClear(&outer.defaultValue);
    EXPECT_EQ(1u, inner.refs());
    EXPECT_EQ(1u, outer.refs());
}

TEST_F(VariantConversionTest, ObjectThatIsItsOwnDefaultMemberFails) {
    TestObject object;
    object.returnsSelf = true;
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_DISPATCH;
    source.pdispVal = &object;

    UniqueVariant result;
    EXPECT_EQ(E_INVALIDARG, GetDefaultMemberValue(source, result.get()));
    EXPECT_EQ(VT_EMPTY, result.get().vt);
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source, value_.get()));
    EXPECT_EQ(1u, object.refs());
}

TEST_F(VariantConversionTest, NullObjectsAreRefused) {
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_DISPATCH;
    UniqueVariant result;
    EXPECT_EQ(E_POINTER, GetDefaultMemberValue(source, result.get()));
    EXPECT_EQ(E_INVALIDARG, VariantToValue(source, value_.get()));
}

TEST_F(VariantConversionTest, CoercionsConvertOrRefuse) {
    UniqueVariant source;
    source.get().vt = VT_BSTR;
    source.get().bstrVal = SysAllocString(L"300");
    int32_t i32 = 0;
    EXPECT_TRUE(CoerceToI32(source.get(), i32));
    EXPECT_EQ(300, i32);
    uint8_t u8 = 7;
    EXPECT_FALSE(CoerceToU8(source.get(), u8));
    EXPECT_EQ(7, u8);
    double r64 = 0.0;
    EXPECT_TRUE(CoerceToR64(source.get(), r64));
    EXPECT_DOUBLE_EQ(300.0, r64);

    VARIANT flag;
    VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    int16_t i16 = 0;
    EXPECT_TRUE(CoerceToI16(flag, i16));
    EXPECT_EQ(-1, i16);
}

} // namespace
} // namespace quillon

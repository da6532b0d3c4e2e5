#include "script/ValueObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using test::kScriptErrorReported;
using test::ObjectsTest;
using test::RefCount;

const char *const kScript =
    "Function Outcome()\r\n"
    "  Outcome = Hex(Err.Number)\r\n"
    "  Err.Clear\r\n"
    "End Function\r\n"
    "Sub SetQuality(v, result)\r\n"
    "  On Error Resume Next\r\n"
    "  v.Quality = 256 : result = Outcome()\r\n"
    "  v.Quality = -1 : result = result & \" \" & Outcome()\r\n"
    "  v.Quality = 255 : result = result & \" \" & Outcome() & \" \" & v.Quality\r\n"
    "  v.Quality = 0 : result = result & \" \" & v.Quality\r\n"
    "End Sub\r\n"
    "Sub OldTimestamp(v, result)\r\n"
    "  v.Timestamp = DateSerial(1960, 1, 1)\r\n"
    "  result = CDbl(v.Timestamp)\r\n"
    "End Sub\r\n"
    "Sub SetTimestamp(v, result)\r\n"
    "  v.Timestamp = DateSerial(2020, 1, 2) + TimeSerial(3, 4, 5)\r\n"
    "  result = Year(v.Timestamp) & \"-\" & Month(v.Timestamp) & \"-\" & Day(v.Timestamp) & \" \" & Hour(v.Timestamp) & \":\" & Minute(v.Timestamp) & \":\" & Second(v.Timestamp)\r\n"
    "End Sub\r\n"
    "Sub WriteAll(v, result)\r\n"
    "  On Error Resume Next\r\n"
    "  v.Value = 5 : result = Outcome()\r\n"
    "  v.Timestamp = Now : result = result & \" \" & Outcome()\r\n"
    "  v.Quality = 0 : result = result & \" \" & Outcome()\r\n"
    "  v.DimAsList : result = result & \" \" & Outcome()\r\n"
    "  v.AddToList 1 : result = result & \" \" & Outcome()\r\n"
    "  result = result & \" \" & v.Value & \" \" & v.Quality & \" \" & Outcome()\r\n"
    "End Sub\r\n"
    "Sub BuildList(v, result)\r\n"
    "  On Error Resume Next\r\n"
    "  v.AddToList 1 : result = Outcome()\r\n"
    "  On Error GoTo 0\r\n"
    "  v.DimAsList\r\n"
    "  v.AddToList 1\r\n"
    "  v.AddToList \"two\"\r\n"
    "  v.AddToList NewValue(3.5, 7)\r\n"
    "  result = result & \" \" & TypeName(v)\r\n"
    "End Sub\r\n"
    "Sub Assign(target, source, result)\r\n"
    "  target.Value = source\r\n"
    "  result = target.Value & \" \" & target.Quality\r\n"
    "End Sub\r\n"
    "Sub Store(v, result)\r\n"
    "  v.Value = True\r\n"
    "  result = v.Value & \" \" & TypeName(v.Value)\r\n"
    "End Sub\r\n"
    "Sub StoreArray(v, result)\r\n"
    "  v.Value = Array(1, 2, 3)\r\n"
    "  Dim a : a = v.Value\r\n"
    "  result = LBound(a) & \" \" & UBound(a) & \" \" & a(0) + a(1) + a(2)\r\n"
    "End Sub\r\n"
    "Sub ReadArray(v, result)\r\n"
    "  Dim a : a = v.Value\r\n"
    "  result = VarType(a)\r\n"
    "End Sub\r\n"
    "Dim kept\r\n"
    "Sub Keep(v, result)\r\n"
    "  Set kept = v\r\n"
    "End Sub\r\n"
    "Sub UseKept(result)\r\n"
    "  kept.Value = kept.Value & \"!\"\r\n"
    "  result = kept.Value\r\n"
    "  Set kept = Nothing\r\n"
    "End Sub\r\n"
    "Sub Unchecked(v, result)\r\n"
    "  v.Quality = 300\r\n"
    "End Sub\r\n";

class ValueObjectTest : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        Load(kScript);
    }
};

TEST_F(ValueObjectTest, QualityMustFitEightBits) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("80070057 80070057 0 255 0", Run("SetQuality", {object.get()}));
    EXPECT_EQ(S_OK, lastRun);
    EXPECT_EQ(0u, hvGetQuality(value.get()));
    EXPECT_EQ(1u, RefCount(object.get()));
}

TEST_F(ValueObjectTest, QualityReadsLowEightBits) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), true);
    for (unsigned quality : {0u, 1u, 128u, 192u, 255u}) {
        hvSetQuality(value.get(), quality);
        long read = -1;
        EXPECT_EQ(S_OK, object->get_Quality(&read));
        EXPECT_EQ(static_cast<long>(quality), read);
    }
}

TEST_F(ValueObjectTest, TimestampBefore1970IsStoredAsZero) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("25569", Run("OldTimestamp", {object.get()}));
    EXPECT_EQ(0.0, hvGetTimestamp(value.get()));
}

TEST_F(ValueObjectTest, TimestampRoundTrips) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("2020-1-2 3:4:5", Run("SetTimestamp", {object.get()}));
    // 2020-01-02 03:04:05 as seconds since 1970.
    EXPECT_NEAR(1577934245.0, hvGetTimestamp(value.get()), 0.001);
}

TEST_F(ValueObjectTest, ReadOnlyValueRefusesEveryChange) {
    HValue value = HValue::Create();
    hvSetI32(value.get(), 42);
    hvSetTimestamp(value.get(), 1000);
    ComPtr<IValueObject> object = MakeValue(value.get(), true);

    EXPECT_EQ("80070005 80070005 80070005 80070005 80070005 42 192 0", Run("WriteAll", {object.get()}));
    EXPECT_EQ(HV_I32, hvGetType(value.get()));
    EXPECT_EQ(1000.0, hvGetTimestamp(value.get()));
    EXPECT_EQ(192u, hvGetQuality(value.get()));
}

TEST_F(ValueObjectTest, AddToListNeedsDimAsListThenAppends) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("80070057 IValueObject", Run("BuildList", {object.get()}));
    ASSERT_TRUE(hvIsList(value.get()));
    ASSERT_EQ(3u, hvListCount(value.get()));
    hvPosition position = nullptr;
    HVALUE item = hvListFirst(value.get(), &position);
    int32_t number = 0;
    EXPECT_TRUE(hvGetI32(item, &number));
    EXPECT_EQ(1, number);
    item = hvListNext(value.get(), &position);
    const char *text = nullptr;
    EXPECT_TRUE(hvGetString(item, &text));
    EXPECT_STREQ("two", text);
    item = hvListNext(value.get(), &position);
    double real = 0;
    EXPECT_TRUE(hvGetR64(item, &real));
    EXPECT_EQ(3.5, real);
    EXPECT_EQ(7u, hvGetQuality(item));
}

TEST_F(ValueObjectTest, AssigningAValueObjectCopiesItsContent) {
    HValue target = HValue::Create();
    HValue source = HValue::Create();
    hvSetString(source.get(), "abc");
    hvSetQuality(source.get(), 64);
    ComPtr<IValueObject> targetObject = MakeValue(target.get(), false);
    ComPtr<IValueObject> sourceObject = MakeValue(source.get(), true);

    EXPECT_EQ("abc 64", Run("Assign", {targetObject.get(), sourceObject.get()}));
    hvSetString(source.get(), "changed");
    const char *text = nullptr;
    ASSERT_TRUE(hvGetString(target.get(), &text));
    EXPECT_STREQ("abc", text);
    EXPECT_EQ(1u, RefCount(sourceObject.get()));
}

TEST_F(ValueObjectTest, TrueIsStoredAsOne) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("1 Long", Run("Store", {object.get()}));
    int32_t number = 0;
    EXPECT_TRUE(hvGetI32(value.get(), &number));
    EXPECT_EQ(1, number);
}

TEST_F(ValueObjectTest, ArraysGoBothWays) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    EXPECT_EQ("0 2 6", Run("StoreArray", {object.get()}));
    EXPECT_EQ(3u, hvGetCount(value.get()));

    hvSetType(value.get(), HV_ARRAY | HV_STR, 2);
    hvSetElementString(value.get(), 0, "a");
    hvSetElementString(value.get(), 1, "b");
    // Wine's engine indexes only arrays of VARIANTs; a typed array reaches
    // the script with its type.
    EXPECT_EQ("8200", Run("ReadArray", {object.get()}));
    VARIANT read;
    ASSERT_EQ(S_OK, object->get_Value(&read));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, read.vt);
    BSTR *texts = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(read.parray, reinterpret_cast<void **>(&texts)));
    EXPECT_STREQ(L"a", texts[0]);
    EXPECT_STREQ(L"b", texts[1]);
    SafeArrayUnaccessData(read.parray);
    VariantClear(&read);
}

TEST_F(ValueObjectTest, ScriptKeepsItsValueAliveAfterTheDriverLetGo) {
    {
        HValue value = HValue::Create();
        hvSetString(value.get(), "kept");
        ComPtr<IValueObject> object = MakeValue(value.get(), false);
        Run("Keep", {object.get()});
        EXPECT_EQ(2u, RefCount(object.get()));
    }
    EXPECT_EQ("kept!", Run("UseKept"));
    EXPECT_EQ(S_OK, lastRun);
}

TEST_F(ValueObjectTest, FailureReachesTheEngineWithCodeAndText) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);

    Run("Unchecked", {object.get()});

    EXPECT_EQ(kScriptErrorReported, lastRun);
    EXPECT_EQ("Quality must lie between 0 and 255 (80070057)", engine_->LastErrorText());
    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("  ERROR: Quillon (line " + std::to_string(engine_->LastErrorLine()) + ", col " +
                  std::to_string(engine_->LastErrorColumn()) + "): Quality must lie between 0 and 255 (80070057)",
              messages[0]);
    EXPECT_EQ("  Run 'Unchecked': failed (80020101)", messages[1]);
}

TEST_F(ValueObjectTest, NullArgumentsAreRefused) {
    HValue value = HValue::Create();
    CValueObject *created = reinterpret_cast<CValueObject *>(1);
    EXPECT_EQ(E_POINTER, CValueObject::Create(nullptr, valueInfo_.get(), false, &created));
    EXPECT_EQ(nullptr, created);
    EXPECT_EQ(E_POINTER, CValueObject::Create(value.get(), nullptr, false, &created));
    EXPECT_EQ(E_POINTER, CValueObject::Create(value.get(), valueInfo_.get(), false, nullptr));

    // The null check comes before the read-only one.
    ComPtr<IValueObject> object = MakeValue(value.get(), true);
    EXPECT_EQ(E_POINTER, object->put_Value(nullptr));
    EXPECT_EQ(E_POINTER, object->get_Value(nullptr));
    EXPECT_EQ(E_POINTER, object->get_Timestamp(nullptr));
    EXPECT_EQ(E_POINTER, object->get_Quality(nullptr));
    EXPECT_EQ(E_POINTER, object->AddToList(nullptr));
    EXPECT_EQ(value.get(), object->PrivGetHVALUE());
}

TEST_F(ValueObjectTest, ValueObjectIsFoundThroughReferences) {
    HValue value = HValue::Create();
    ComPtr<IValueObject> object = MakeValue(value.get(), false);
    VARIANT direct;
    direct.vt = VT_DISPATCH;
    direct.pdispVal = object.get();
    EXPECT_EQ(value.get(), ValueHandleOf(direct));
    VARIANT unknown;
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = object.get();
    EXPECT_EQ(value.get(), ValueHandleOf(unknown));
    IDispatch *pointer = object.get();
    VARIANT byReference;
    byReference.vt = VT_BYREF | VT_DISPATCH;
    byReference.ppdispVal = &pointer;
    EXPECT_EQ(value.get(), ValueHandleOf(byReference));
    VARIANT nested;
    nested.vt = VT_BYREF | VT_VARIANT;
    nested.pvarVal = &byReference;
    EXPECT_EQ(value.get(), ValueHandleOf(nested));
    pointer = nullptr;
    EXPECT_EQ(nullptr, ValueHandleOf(nested));
    test::TestObject other;
    direct.pdispVal = &other;
    EXPECT_EQ(nullptr, ValueHandleOf(direct));
    EXPECT_EQ(1u, RefCount(object.get()));
}

// A value nests at most 256 levels deep, in whichever way the script hands
// it over: deeper arrays and objects whose default member leads back to
// themselves end in a script error instead of a stack overflow.
using NestingTest = ObjectsTest;

TEST_F(NestingTest, NestingEndsAtTheValueLibrarysLimit) {
    const std::string tooDeep = "80070057 Value nests more than 256 levels deep (80070057)";
    struct Way {
        const char *name;
        const char *statement;
    } const ways[] = {
        {"Value", "v.Value = d"},
        {"NewValue", "Dim n : Set n = NewValue(d)"},
        {"AddToList", "v.DimAsList : v.AddToList d"},
    };
    struct Data {
        const char *expression;
        bool object;
        bool fits;
    } const data[] = {
        {"New Cyc", true, false},
        {"Nested(256)", false, true},
        {"Nested(257)", false, false},
        {"Nested(1000)", false, false},
    };
    std::string script =
        "Class Cyc\r\n"
        "  Public Default Property Get Item\r\n"
        "    Item = Array(Me)\r\n"
        "  End Property\r\n"
        "End Class\r\n"
        "Function Nested(levels)\r\n"
        "  Dim a, i : a = 1\r\n"
        "  For i = 1 To levels : a = Array(a) : Next\r\n"
        "  Nested = a\r\n"
        "End Function\r\n";
    for (size_t w = 0; w < sizeof ways / sizeof ways[0]; ++w)
        for (size_t d = 0; d < sizeof data / sizeof data[0]; ++d)
            script += "Sub Case" + std::to_string(w) + "_" + std::to_string(d) +
                      "(v, result)\r\n"
                      "  Dim d\r\n"
                      "  " + (data[d].object ? "Set " : "") + "d = " + data[d].expression + "\r\n"
                      "  On Error Resume Next\r\n  " + ways[w].statement +
                      "\r\n"
                      "  result = Hex(Err.Number) & \" \" & Err.Description\r\n"
                      "End Sub\r\n";
    Load(script.c_str());

    for (size_t w = 0; w < sizeof ways / sizeof ways[0]; ++w) {
        for (size_t d = 0; d < sizeof data / sizeof data[0]; ++d) {
            HValue value = HValue::Create();
            ComPtr<IValueObject> object = MakeValue(value.get(), false);
            const std::string name = "Case" + std::to_string(w) + "_" + std::to_string(d);
            EXPECT_EQ(data[d].fits ? "0 " : tooDeep, Run(name.c_str(), {object.get()}))
                << ways[w].name << " = " << data[d].expression;
            EXPECT_EQ(S_OK, lastRun) << ways[w].name << " = " << data[d].expression;
        }
    }
}

// Reading a value nested deeper than the limit fails the same way.
TEST_F(NestingTest, ReadingTooDeepAValueFails) {
    HValue value = HValue::Create();
    HValue inner = HValue::Create();
    hvSetI32(inner.get(), 1);
    for (unsigned level = 0; level < 300; ++level) {
        HValue outer = HValue::Create();
        hvSetType(outer.get(), HV_ARRAY | HV_HVAL, 1);
        HValue element;
        ASSERT_TRUE(hvGetElement(outer.get(), 0, element.put()));
        ASSERT_TRUE(hvCopy(element.get(), inner.get()));
        inner = std::move(outer);
    }
    ComPtr<IValueObject> object = MakeValue(inner.get(), true);
    VARIANT read;
    VariantInit(&read);
    EXPECT_EQ(E_INVALIDARG, object->get_Value(&read));
    EXPECT_EQ(VT_EMPTY, read.vt);
    VariantClear(&read);
}

} // namespace
} // namespace quillon

#include "script/DriverHostObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using test::ObjectsTest;

const char *const kScript =
    "Function Outcome()\r\n"
    "  Outcome = Hex(Err.Number)\r\n"
    "  Err.Clear\r\n"
    "End Function\r\n"
    "Function Describe(v)\r\n"
    "  Describe = \"[\" & v.Value & \"] \" & TypeName(v.Value) & \" \" & v.Quality\r\n"
    "End Function\r\n"
    "Sub Defaults(result)\r\n"
    "  Dim v : Set v = NewValue()\r\n"
    "  result = Describe(v) & \" \" & (Abs(CDbl(v.Timestamp - Now)) < 1 / 24)\r\n"
    "  v.Value = 3 : result = result & \" \" & v.Value\r\n"
    "End Sub\r\n"
    "Sub WithValue(result)\r\n"
    "  result = Describe(NewValue(12))\r\n"
    "End Sub\r\n"
    "Sub WithQuality(result)\r\n"
    "  result = Describe(NewValue(\"x\", 0))\r\n"
    "End Sub\r\n"
    "Sub WithTimestamp(result)\r\n"
    "  Dim v : Set v = Host.NewValue(1.5, 64, DateSerial(2001, 2, 3))\r\n"
    "  result = Describe(v) & \" \" & Year(v.Timestamp) & \"-\" & Month(v.Timestamp) & \"-\" & Day(v.Timestamp)\r\n"
    "End Sub\r\n"
    "Sub Refused(result)\r\n"
    "  On Error Resume Next\r\n"
    "  Dim v : Set v = NewValue(1)\r\n"
    "  Set v = NewValue(v) : result = Outcome()\r\n"
    "  Set v = NewValue(1, 256) : result = result & \" \" & Outcome()\r\n"
    "  Set v = NewValue(1, -1) : result = result & \" \" & Outcome()\r\n"
    "  Set v = NewValue(Null) : result = result & \" \" & Outcome()\r\n"
    "End Sub\r\n"
    "Sub DotNet(result)\r\n"
    "  On Error Resume Next\r\n"
    "  Dim o\r\n"
    "  Set o = CreateDotNetObject(\"mscorlib\", \"System.Random\") : result = Outcome()\r\n"
    "  Set o = CreateDotNetObject(\"mscorlib\", \"System.Text.StringBuilder\") : result = result & \" \" & Outcome()\r\n"
    "End Sub\r\n"
    "Sub Say(result)\r\n"
    "  Trace \"hello\"\r\n"
    "End Sub\r\n"
    "Sub Described(result)\r\n"
    "  On Error Resume Next\r\n"
    "  Dim v : Set v = NewValue(1, 999)\r\n"
    "  result = Hex(Err.Number) & \" \" & Err.Source & \": \" & Err.Description\r\n"
    "End Sub\r\n";

class DriverHostObjectTest : public ObjectsTest {
protected:
    void SetUp() override {
        ObjectsTest::SetUp();
        Load(kScript);
    }
};

TEST_F(DriverHostObjectTest, NewValueWithoutArgumentsIsAnEmptyGoodText) {
    EXPECT_EQ("[] String 192 True 3", Run("Defaults"));
    EXPECT_EQ(S_OK, lastRun);
}

TEST_F(DriverHostObjectTest, NewValueTakesValueQualityAndTimestamp) {
    EXPECT_EQ("[12] Integer 192", Run("WithValue"));
    EXPECT_EQ("[x] String 0", Run("WithQuality"));
    EXPECT_EQ("[1.5] Double 64 2001-2-3", Run("WithTimestamp"));
}

TEST_F(DriverHostObjectTest, NewValueRefusesWhatAValueCannotTake) {
    // A value object has no default member to be converted through.
    EXPECT_EQ("80070057 80070057 80070057 80070057", Run("Refused"));
    EXPECT_EQ(S_OK, lastRun);
}

TEST_F(DriverHostObjectTest, NewValueCalledDirectly) {
    VARIANT missing;
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    IDispatch *object = reinterpret_cast<IDispatch *>(1);
    EXPECT_EQ(E_POINTER, host_->NewValue(nullptr, 192, missing, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, host_->NewValue(&missing, 192, missing, nullptr));

    VARIANT text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"t");
    VARIANT date;
    date.vt = VT_DATE;
    date.date = 25569.0 + 2.5;
    ASSERT_EQ(S_OK, host_->NewValue(&text, 17, date, &object));
    VariantClear(&text);
    ComPtr<IValueObject> value;
    ASSERT_EQ(S_OK, object->QueryInterface(__uuidof(IValueObject), value.put_void()));
    object->Release();
    EXPECT_EQ(1u, test::RefCount(value.get()));
    HVALUE handle = value->PrivGetHVALUE();
    EXPECT_EQ(17u, hvGetQuality(handle));
    EXPECT_EQ(2.5 * 86400, hvGetTimestamp(handle));
    const char *stored = nullptr;
    ASSERT_TRUE(hvGetString(handle, &stored));
    EXPECT_STREQ("t", stored);
}

TEST_F(DriverHostObjectTest, DotNetRuntimeIsTriedOnce) {
    const std::string result = Run("DotNet");
    ASSERT_EQ(17u, result.size());
    const std::string code = result.substr(0, 8);
    // Both calls fail with the one start attempt's code.
    EXPECT_EQ(code + " " + code, result);
    EXPECT_EQ('8', code[0]);
    // One start line; the other is the engine's line for the run.
    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("CLR: starting CLR failed (" + code + ")", messages[0]);
    EXPECT_EQ(0u, messages[1].find("  Run 'DotNet': succeeded"));
}

TEST_F(DriverHostObjectTest, TraceWritesTheMessage) {
    Run("Say");
    EXPECT_EQ(S_OK, lastRun);
    const std::vector<std::string> messages = Messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("  Trace: hello", messages[0]);
    EXPECT_EQ(0u, messages[1].find("  Run 'Say': succeeded"));
    EXPECT_EQ(E_POINTER, host_->Trace(nullptr));
}

TEST_F(DriverHostObjectTest, ErrorTextReachesTheScript) {
    EXPECT_EQ("80070057 Quillon: Quality must lie between 0 and 255 (80070057)", Run("Described"));
}

TEST_F(DriverHostObjectTest, CreationRefusesNullArguments) {
    CDriverHostObject *created = reinterpret_cast<CDriverHostObject *>(1);
    EXPECT_EQ(E_POINTER, CDriverHostObject::Create(nullptr, hostInfo_.get(), globals_.get(), &created));
    EXPECT_EQ(nullptr, created);
    EXPECT_EQ(E_POINTER, CDriverHostObject::Create(valueInfo_.get(), nullptr, globals_.get(), &created));
    EXPECT_EQ(E_POINTER, CDriverHostObject::Create(valueInfo_.get(), hostInfo_.get(), globals_.get(), nullptr));
    BSTR name = SysAllocString(L"x");
    IDispatch *object = reinterpret_cast<IDispatch *>(1);
    EXPECT_EQ(E_POINTER, host_->CreateDotNetObject(nullptr, name, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, host_->CreateDotNetObject(name, name, nullptr));
    SysFreeString(name);
    // None of the refusals tried to start the runtime.
    EXPECT_TRUE(Messages().empty());
}

} // namespace
} // namespace quillon

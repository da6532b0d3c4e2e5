// Members that run out of memory fail the script call with "Out of memory"
// instead of letting a C++ exception into the engine (which ends the host).
#include "script/ValueObject.h"
#include "tests/objects/ObjectsTestSupport.h"
#include "tests/support/FailingAllocator.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <string>

namespace quillon {
namespace {

using test::ObjectsTest;

TEST_F(ObjectsTest, MembersOutOfMemoryFailTheScriptCall) {
    struct Case {
        const char *member;
        const char *statement;
    } const cases[] = {
        {"Trace", "Trace big"},
        {"Value", "v.Value = big"},
        {"AddToList", "v.DimAsList : v.AddToList big"},
        {"NewValue", "Dim n : Set n = NewValue(big)"},
    };
    std::string script;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        script += "Sub Case" + std::to_string(i) +
                  "(v, result)\r\n"
                  "  Dim big : big = String(20000, \"x\")\r\n"
                  "  On Error Resume Next\r\n  " +
                  cases[i].statement +
                  "\r\n"
                  "  result = Hex(Err.Number) & \" \" & Err.Description\r\n"
                  "End Sub\r\n";
    Load(script.c_str());

    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        HValue value = HValue::Create();
        ComPtr<IValueObject> object = MakeValue(value.get(), false);
        const std::string name = "Case" + std::to_string(i);
        // Once with memory, so that the call's own bookkeeping is made.
        Run(name.c_str(), {object.get()});
        quillon::test::failAllocationsFrom = 10000;
        const std::string outcome = Run(name.c_str(), {object.get()});
        quillon::test::failAllocationsFrom = 0;
        EXPECT_EQ("8007000E Out of memory (8007000E)", outcome) << cases[i].member;
        EXPECT_EQ(S_OK, lastRun) << cases[i].member;
    }
}

} // namespace
} // namespace quillon

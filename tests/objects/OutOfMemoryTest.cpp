// Members that run out of memory fail the script call with "Out of memory"
// instead of letting a C++ exception into the engine (which ends the host).
#include "script/ValueObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <string>

namespace {

// While set, every allocation of this program of at least this many bytes
// fails: the scripts hand the objects texts longer than that, and nothing
// else allocates as much meanwhile.
volatile size_t failFrom = 0;

} // namespace

void *operator new(std::size_t size) {
    if (failFrom && size >= failFrom) throw std::bad_alloc();
    if (void *block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return block;
    throw std::bad_alloc();
}

void operator delete(void *block) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

void operator delete(void *block, std::size_t) noexcept { operator delete(block); }

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
        failFrom = 10000;
        const std::string outcome = Run(name.c_str(), {object.get()});
        failFrom = 0;
        EXPECT_EQ("8007000E Out of memory (8007000E)", outcome) << cases[i].member;
        EXPECT_EQ(S_OK, lastRun) << cases[i].member;
    }
}

} // namespace
} // namespace quillon

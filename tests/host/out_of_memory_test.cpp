// A request that runs out of memory in the driver host (the request objects,
// the item procedures) fails with E_OUTOFMEMORY instead of throwing into the
// host application.
#include "log/IOGlobals.h"
#include "script/VBScriptHost.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/FailingAllocator.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <string>

using namespace quillon;
using namespace quillon::test;

namespace {

TEST(HostOutOfMemoryTest, RequestOutOfMemoryFailsWithoutThrowing) {
    ComApartment apartment;
    CIOGlobals *globals = CIOGlobals::Create(nullptr);
    ASSERT_NE(globals, nullptr);
    HValue settings = Settings().String("VBScript.Code", "Sub OnRead(Request, Value)\n"
                                                         "  Value.Value = Len(Request.ParamItem)\n"
                                                         "End Sub\n")
                          .Make();
    CVBScriptHost *host = new CVBScriptHost(globals, settings.get());
    std::string message;
    ASSERT_EQ(host->StartScript(message), S_OK) << message;

    const std::wstring longItem(20000, L'x');
    for (const wchar_t *item : {L"Short", longItem.c_str()}) {
        HValue value = HValue::Create();
        DriverRequest request = MakeRequest(OP_READ_VALUE, 0, 0, 0, 0, value.get());
        request.paramItem = item;
        request.paramDevice = L"";
        quillon::test::failAllocationsFrom = item == longItem.c_str() ? 10000 : 0;
        const HRESULT result = host->ReadValue(&request, value.get());
        quillon::test::failAllocationsFrom = 0;
        EXPECT_EQ(result, item == longItem.c_str() ? E_OUTOFMEMORY : S_OK);
    }
    host->Release();
    globals->Release();
}

} // namespace

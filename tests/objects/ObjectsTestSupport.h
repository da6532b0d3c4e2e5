// A VBScript engine with a DriverHost published as "Host", and the type
// descriptions that the objects under test need.
#pragma once

#include "base/ComUtil.h"
#include "script/DriverHostObject.h"
#include "script/VBScriptEngine.h"
#include "tests/script/ScriptTestSupport.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace quillon::test {

const HRESULT kScriptErrorReported = static_cast<HRESULT>(0x80020101);

// The reference count of object, observed by adding and dropping one.
ULONG RefCount(IUnknown *object);

class ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void Load(const char *script);
    // Runs the script's procedure name(objects..., result) and returns what
    // the procedure left in result, as text (or "<error>" when that cannot be
    // made a text). The call's own outcome goes to lastRun.
    std::string Run(const char *name, std::initializer_list<IDispatch *> objects = {});
    std::vector<std::string> Messages() const { return globals_.DriverMessages(); }

    // A new read-only or writable value object around value.
    ComPtr<IValueObject> MakeValue(HVALUE value, bool readOnly);

    LoggedGlobals globals_;
    long liveValuesBefore_ = 0;
    ComPtr<ITypeInfo> requestInfo_;
    ComPtr<ITypeInfo> valueInfo_;
    ComPtr<ITypeInfo> hostInfo_;
    CDriverHostObject *host_ = nullptr;
    CVBScriptEngine *engine_ = nullptr;
    HRESULT lastRun = S_OK;
};

} // namespace quillon::test

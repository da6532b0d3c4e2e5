#include "tests/objects/ObjectsTestSupport.h"

#include "base/ComText.h"
#include "script/ValueObject.h"

namespace quillon::test {

ULONG RefCount(IUnknown *object) {
    object->AddRef();
    return object->Release();
}

void ObjectsTest::SetUp() {
    liveValuesBefore_ = hvLiveCount();
    ASSERT_NE(nullptr, globals_.get());
    ASSERT_EQ(S_OK, LoadRequestTypeInfo(requestInfo_.put()));
    ASSERT_EQ(S_OK, LoadValueTypeInfo(valueInfo_.put()));
    ASSERT_EQ(S_OK, LoadDriverHostTypeInfo(hostInfo_.put()));
    ASSERT_EQ(S_OK, CDriverHostObject::Create(valueInfo_.get(), hostInfo_.get(), globals_.get(), &host_));
    ASSERT_EQ(S_OK, CVBScriptEngine::Create(globals_.get(), &engine_));
    ASSERT_EQ(S_OK, engine_->AddHostObject(host_));
}

void ObjectsTest::TearDown() {
    if (engine_) {
        engine_->Close();
        EXPECT_EQ(0u, engine_->Release());
    }
    if (host_) {
        EXPECT_EQ(0u, host_->Release());
    }
    // Every value made by the objects or the scripts has gone with them.
    EXPECT_EQ(liveValuesBefore_, hvLiveCount());
}

void ObjectsTest::Load(const char *script) {
    ASSERT_EQ(S_OK, engine_->ParseScript(script));
    ASSERT_EQ(S_OK, engine_->SetState(SCRIPTSTATE_CONNECTED));
}

std::string ObjectsTest::Run(const char *name, std::initializer_list<IDispatch *> objects) {
    std::vector<VARIANT> args(objects.size() + 1);
    size_t i = 0;
    for (IDispatch *object : objects) {
        VariantInit(&args[i]);
        args[i].vt = VT_DISPATCH;
        args[i].pdispVal = object;
        object->AddRef();
        ++i;
    }
    VariantInit(&args[i]);
    lastRun = engine_->RunProcedure(name, static_cast<unsigned>(args.size()), args.data(), false);
    std::string text = "<error>";
    VARIANT converted;
    VariantInit(&converted);
    if (SUCCEEDED(VariantChangeType(&converted, &args[i], 0, VT_BSTR))) text = NarrowFromWide(converted.bstrVal);
    VariantClear(&converted);
    for (VARIANT &arg : args) VariantClear(&arg);
    return text;
}

ComPtr<IValueObject> ObjectsTest::MakeValue(HVALUE value, bool readOnly) {
    CValueObject *object = nullptr;
    EXPECT_EQ(S_OK, CValueObject::Create(value, valueInfo_.get(), readOnly, &object));
    return ComPtr<IValueObject>::Attach(object);
}

} // namespace quillon::test

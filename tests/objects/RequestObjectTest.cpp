#include "script/RequestObject.h"
#include "tests/objects/ObjectsTestSupport.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using test::ObjectsTest;
using test::RefCount;

class RequestObjectTest : public ObjectsTest {
protected:
    ComPtr<CRequestObject> MakeRequest(const DriverRequest &request) {
        CRequestObject *object = nullptr;
        EXPECT_EQ(S_OK, CRequestObject::Create(requestInfo_.get(), request, &object));
        return ComPtr<CRequestObject>::Attach(object);
    }
};

TEST_F(RequestObjectTest, ScriptReadsNumbersAsUnsignedWords) {
    DriverRequest record = {};
    record.n1 = -1;
    record.n2 = 2;
    record.n3 = 40000;
    record.n4 = 4;
    record.blockSize = 16;
    ComPtr<CRequestObject> request = MakeRequest(record);
    Load("Sub Numbers(request, result)\r\n"
         "  result = request.N1 & \" \" & request.N2 & \" \" & request.N3 & \" \" & request.N4 & \" \" & request.Size\r\n"
         "End Sub\r\n");

    EXPECT_EQ("65535 2 40000 4 16", Run("Numbers", {request.get()}));
    EXPECT_EQ(S_OK, lastRun);
    EXPECT_EQ(1u, RefCount(request.get()));
}

TEST_F(RequestObjectTest, ParametersAreCopiedAndAbsentOnesAreEmpty) {
    DriverRequest record = {};
    std::wstring device = L"PLC1";
    record.paramDevice = device.c_str();
    ComPtr<CRequestObject> request = MakeRequest(record);
    device = L"changed";
    Load("Sub Texts(request, result)\r\n"
         "  result = \"[\" & request.ParamDevice & \"][\" & request.ParamItem & \"]\" & TypeName(request.ParamItem)\r\n"
         "End Sub\r\n");

    EXPECT_EQ("[PLC1][]String", Run("Texts", {request.get()}));
}

TEST_F(RequestObjectTest, FailRequestClearsSucceeded) {
    ComPtr<CRequestObject> request = MakeRequest(DriverRequest{});
    Load("Sub Fail(request, result)\r\n"
         "  result = CStr(request.IsSucceeded)\r\n"
         "  request.FailRequest\r\n"
         "  result = result & \" \" & CStr(request.IsSucceeded())\r\n"
         "End Sub\r\n");

    EXPECT_EQ("True False", Run("Fail", {request.get()}));
    VARIANT_BOOL succeeded = VARIANT_TRUE;
    EXPECT_EQ(S_OK, request->IsSucceeded(&succeeded));
    EXPECT_EQ(VARIANT_FALSE, succeeded);
}

TEST_F(RequestObjectTest, NullArgumentsAreRefused) {
    CRequestObject *object = reinterpret_cast<CRequestObject *>(1);
    EXPECT_EQ(E_POINTER, CRequestObject::Create(nullptr, DriverRequest{}, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, CRequestObject::Create(requestInfo_.get(), DriverRequest{}, nullptr));

    ComPtr<CRequestObject> request = MakeRequest(DriverRequest{});
    EXPECT_EQ(E_POINTER, request->get_N1(nullptr));
    EXPECT_EQ(E_POINTER, request->get_Size(nullptr));
    EXPECT_EQ(E_POINTER, request->get_ParamDevice(nullptr));
    EXPECT_EQ(E_POINTER, request->get_ParamItem(nullptr));
    EXPECT_EQ(E_POINTER, request->IsSucceeded(nullptr));
    // The refusals leave the thread's error behind for the dispatcher.
    IErrorInfo *info = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    info->Release();
}

} // namespace
} // namespace quillon

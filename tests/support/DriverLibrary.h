// Loads Quillon.dll from beside the test program the way a host does, and
// helpers to read its log.
#pragma once

#include "base/ComUtil.h"
#include "base/ControlTags.h"
#include "host/DriverLibrary.h"
#include "tests/support/TestFiles.h"
#include "tests/support/Waiting.h"
#include "values/HValue.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <initializer_list>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace quillon::test {

// Every test gets a freshly loaded library, so the process-wide driver
// object starts anew.
// Like a host, the test initialises COM on the thread that calls the driver
// (the script engine needs it), for as long as the library is loaded.
class ComApartment {
public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;
};

struct TestDriverLibrary : ComApartment, DriverLibrary {
    void Load() {
        std::string error;
        ASSERT_TRUE(DriverLibrary::Load("Quillon.dll", error)) << error;
    }
};

// A settings value in the driver's saved form.
class Settings {
public:
    Settings &String(const char *name, const std::string &value) {
        strings_.emplace_back(name, value);
        return *this;
    }
    Settings &Int(const char *name, int32_t value) {
        numbers_.emplace_back(name, value);
        return *this;
    }
    HValue Make() const {
        HValue settings = HValue::Create();
        hvSetType(settings.get(), HV_ARRAY | HV_HVAL, static_cast<unsigned>(1 + 2 * (strings_.size() + numbers_.size())));
        hvSetElementString(settings.get(), 0, "Generic Config Data v1.00");
        unsigned index = 1;
        for (const auto &parameter : strings_) {
            hvSetElementString(settings.get(), index++, parameter.first.c_str());
            hvSetElementString(settings.get(), index++, parameter.second.c_str());
        }
        for (const auto &parameter : numbers_) {
            hvSetElementString(settings.get(), index++, parameter.first.c_str());
            hvSetElementI32(settings.get(), index++, parameter.second);
        }
        return settings;
    }

private:
    std::vector<std::pair<std::string, std::string>> strings_;
    std::vector<std::pair<std::string, int32_t>> numbers_;
};

// The messages of a log file: each line without its date, time and thread,
// as "CATEGORY\tmessage".
inline std::vector<std::string> LogMessages(const std::string &path) {
    const std::string content = ReadWholeFile(path);
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(start, end - start);
        const size_t header = line.find(") ");
        if (line.size() > 24 && line[2] == '/' && header != std::string::npos) messages.push_back(line.substr(header + 2));
        start = end + 2;
    }
    return messages;
}

inline bool Contains(const std::vector<std::string> &messages, const std::string &wanted) {
    for (const std::string &message : messages)
        if (message == wanted) return true;
    return false;
}

inline bool ContainsMatching(const std::vector<std::string> &messages, const std::string &pattern) {
    const std::regex expression(pattern);
    for (const std::string &message : messages)
        if (std::regex_match(message, expression)) return true;
    return false;
}

// A request record of the current version for a single value (element count
// and block size 1) or, with count and blockSize, for a block.
inline DriverRequest MakeRequest(uint16_t operation, int16_t n1, uint16_t n2, uint16_t n3, uint16_t n4,
                                 HVALUE value, uint16_t count = 1, uint16_t blockSize = 1) {
    DriverRequest request = {};
    request.version = REQUEST_VERSION_CURRENT;
    request.operation = operation;
    request.elementCount = count;
    request.blockSize = blockSize;
    request.n1 = n1;
    request.n2 = n2;
    request.n3 = n3;
    request.n4 = n4;
    request.value = value;
    return request;
}

// A request on one of the host's own control tags (-1.0.0.n4), marked as
// validated so that it reaches the driver host as it is.
inline DriverRequest HostTagRequest(uint16_t n4, uint16_t operation, HVALUE value, uint16_t count = 1,
                                    uint16_t blockSize = 1) {
    DriverRequest request = MakeRequest(operation, -1, 0, 0, n4, value, count, blockSize);
    request.flags = REQUEST_FLAG_VALIDATED;
    return request;
}

// The text of a string value, or "<not a string>".
inline std::string StringOf(HVALUE value) {
    const char *text = nullptr;
    if (hvGetType(value) != HV_STR || !hvGetString(value, &text) || !text) return "<not a string>";
    return text;
}

// An array of values (0x8A) holding the given elements in turn; each is
// copied.
inline HValue ArrayOf(std::initializer_list<HVALUE> elements) {
    HValue array = HValue::Create();
    hvSetType(array.get(), HV_ARRAY | HV_HVAL, static_cast<unsigned>(elements.size()));
    unsigned index = 0;
    for (HVALUE element : elements) {
        HValue slot;
        if (hvGetElement(array.get(), index++, slot.put())) hvCopy(slot.get(), element);
    }
    return array;
}

inline HValue StringValue(const char *text) {
    HValue value = HValue::Create();
    hvSetString(value.get(), text);
    return value;
}

inline HValue I32Value(int32_t number) {
    HValue value = HValue::Create();
    hvSetI32(value.get(), number);
    return value;
}

// A fresh copy of Quillon.dll per test and a driver object of the test's
// own, logging into the test's scratch directory once started.
class DriverFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(library_.Load()); }
    void TearDown() override {
        instance_.reset();
        // A started driver keeps its library loaded: stop it first.
        if (library_.stopComm) library_.stopComm(0, 0, 0, 0);
        library_.Unload();
    }

    IIODriverInstance *Instance() {
        if (!instance_) {
            IIODriverInstance *driver = nullptr;
            EXPECT_EQ(library_.createDriverInstance(nullptr, &driver), 1);
            instance_ = ComPtr<IIODriverInstance>::Attach(driver);
        }
        return instance_.get();
    }
    // Settings that log into the scratch directory, plus the given ones.
    Settings LoggedSettings() const { return Settings().String("IO.Log.Filename", logPath_).Int("IO.Log.Enable", 1); }
    void StartLogged(IIODriverInstance *driver) { StartWith(driver, LoggedSettings()); }
    void StartWith(IIODriverInstance *driver, const Settings &settings) {
        HValue handle = settings.Make();
        ASSERT_EQ(driver->SetSettingsHandle(handle.get()), S_OK);
        ASSERT_GE(driver->StartComm(0, 0, 0, 0), 0);
    }
    std::vector<std::string> Messages() const { return LogMessages(logPath_); }
    bool HasMessageMatching(const std::string &pattern) const { return ContainsMatching(Messages(), pattern); }
    // Everything the events block has handed out so far, as "source,number,text".
    const std::vector<std::string> &Events() {
        HValue value = HValue::Create();
        DriverRequest request = HostTagRequest(HOST_TAG_EVENTS, OP_READ_BLOCK, value.get(), 4, 4);
        EXPECT_EQ(S_OK, Instance()->IO(&request, value.get()));
        hvPosition position = nullptr;
        for (HVALUE event = hvListFirst(value.get(), &position); event; event = hvListNext(value.get(), &position)) {
            int32_t source = 0, number = 0;
            const char *text = nullptr;
            hvGetElementI32(event, 1, &source);
            hvGetElementI32(event, 2, &number);
            hvGetElementString(event, 3, &text);
            events_.push_back(std::to_string(source) + "," + std::to_string(number) + "," + (text ? text : ""));
        }
        return events_;
    }
    bool WaitEvent(const std::string &event) {
        return WaitUntil([&] { return Contains(Events(), event); });
    }
    // The events of a link that starts and connects at the first attempt.
    bool ConnectsAtOnce() {
        const std::vector<std::string> wanted = {"-1,1,Initializing physical layer...", "-1,3,Physical layer initialized!",
                                                 "-1,4,Connecting physical layer...", "-1,6,Physical layer connected!"};
        WaitUntil([&] { return Events().size() >= wanted.size(); });
        EXPECT_EQ(wanted, events_);
        return events_ == wanted;
    }
    // A validated read of the tag -1.0.n3.n4: its value, or -1 / "<failed>".
    int32_t ReadNumber(int16_t n3, uint16_t n4) {
        HValue value = HValue::Create();
        int32_t number = -1;
        if (ReadTag(n3, n4, value.get()) == S_OK) hvGetI32(value.get(), &number);
        return number;
    }
    std::string ReadText(int16_t n3, uint16_t n4) {
        HValue value = HValue::Create();
        return ReadTag(n3, n4, value.get()) == S_OK ? StringOf(value.get()) : "<failed>";
    }
    HRESULT ReadTag(int16_t n3, uint16_t n4, HVALUE value) {
        DriverRequest request = MakeRequest(OP_READ_VALUE, -1, 0, n3, n4, value);
        request.flags = REQUEST_FLAG_VALIDATED;
        return Instance()->IO(&request, value);
    }

    TestDriverLibrary library_;
    ScratchDir scratch_;
    std::string logPath_ = scratch_.File("driver.log");
    ComPtr<IIODriverInstance> instance_;
    std::vector<std::string> events_;
};

} // namespace quillon::test

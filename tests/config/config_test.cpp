#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "log/ValueText.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace quillon;

namespace {

void DriverDefaults(CConfigData &config) { config.SetDriverDefaults(); }

constexpr unsigned kValueArray = HV_ARRAY | HV_HVAL;

HValue Null() { return HValue::Create(); }

HValue Str(const char *text) {
    HValue h = HValue::Create();
    EXPECT_TRUE(hvSetString(h.get(), text));
    return h;
}

HValue U32(uint32_t v) {
    HValue h = HValue::Create();
    EXPECT_TRUE(hvSetU32(h.get(), v));
    return h;
}

HValue I32(int32_t v) {
    HValue h = HValue::Create();
    EXPECT_TRUE(hvSetI32(h.get(), v));
    return h;
}

// An array of values holding copies of items.
HValue ArrayOf(std::vector<HValue> items) {
    HValue h = HValue::Create();
    EXPECT_TRUE(hvSetType(h.get(), kValueArray, static_cast<unsigned>(items.size())));
    for (unsigned i = 0; i < items.size(); ++i) {
        HValue element;
        EXPECT_TRUE(hvGetElement(h.get(), i, element.put()));
        EXPECT_TRUE(hvCopy(element.get(), items[i].get()));
    }
    return h;
}

template <class... Items>
HValue Array(Items &&...items) {
    std::vector<HValue> list;
    (list.push_back(std::forward<Items>(items)), ...);
    return ArrayOf(std::move(list));
}

// A saved configuration: the header followed by the given elements.
template <class... Items>
HValue Saved(Items &&...items) {
    return Array(Str(CConfigData::Header), std::forward<Items>(items)...);
}

std::string ElementString(HVALUE h, unsigned index) {
    const char *text = nullptr;
    return hvGetElementString(h, index, &text) && text ? text : "<not a string>";
}

// Names stored in a saved configuration, in element order.
std::vector<std::string> SavedNames(HVALUE h) {
    std::vector<std::string> names;
    for (unsigned i = 1; i + 1 < hvGetCount(h); i += 2) names.push_back(ElementString(h, i));
    return names;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveBefore_ = hvLiveCount();
        globals_ = CIOGlobals::Create(nullptr);
        ASSERT_NE(globals_, nullptr);
        char directory[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
        static unsigned sequence = 0;
        char name[64];
        std::snprintf(name, sizeof name, "quillon_config_%lu_%u.log", GetCurrentProcessId(), ++sequence);
        logPath_ = std::string(directory) + name;
        DeleteFileA(logPath_.c_str());
        globals_->Logger()->SetLogFile(logPath_.c_str());
        config_ = std::make_unique<CConfigData>(globals_);
    }

    void TearDown() override {
        config_.reset();
        globals_->Logger()->Close();
        globals_->Release();
        DeleteFileA(logPath_.c_str());
        EXPECT_EQ(hvLiveCount(), liveBefore_) << "values leaked";
    }

    // The store's log messages so far (the text after the category). Closes
    // the log so that everything buffered is in the file.
    std::vector<std::string> Messages() {
        globals_->Logger()->Close();
        std::vector<std::string> messages;
        HANDLE file = CreateFileA(logPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return messages;
        std::string content;
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
        CloseHandle(file);
        size_t start = 0;
        while (start < content.size()) {
            size_t end = content.find('\n', start);
            if (end == std::string::npos) end = content.size();
            std::string line = content.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t tag = line.find("DRIVER\t");
            if (tag != std::string::npos) messages.push_back(line.substr(tag + 7));
            start = end + 1;
        }
        // The file opens with two banner lines of the same category.
        messages.erase(messages.begin(), messages.begin() + std::min<size_t>(2, messages.size()));
        return messages;
    }

    long liveBefore_ = 0;
    CIOGlobals *globals_ = nullptr;
    std::string logPath_;
    std::unique_ptr<CConfigData> config_;
};

// --- Settings handle -------------------------------------------------------

TEST_F(ConfigTest, EmptyArrayHandleReceivesTheDefaultsAndIsRewritten) {
    HValue h = Array();
    EXPECT_TRUE(config_->AdoptSettings(h.get(), DriverDefaults));
    EXPECT_EQ(config_->Count(), 10u);
    EXPECT_EQ(config_->GetU32(param::TimeoutMs, 0), 1000u);
    EXPECT_EQ(config_->GetString(param::Type, nullptr), "None");
    EXPECT_EQ(config_->GetString(param::LogFilename, nullptr), "C:\\tvLogs\\Quillon_%DATE%.log");
    EXPECT_EQ(config_->GetI32(param::RecoverEnable, 0), 1);
    EXPECT_EQ(hvGetType(config_->Find(param::RecoverEnable)->Value()), unsigned(HV_I32));
    EXPECT_EQ(config_->GetU32(param::RecoverPeriodSec, 0), 20u);
    EXPECT_EQ(hvGetType(config_->Find(param::TimeoutMs)->Value()), unsigned(HV_U32));
    EXPECT_EQ(config_->GetU32(param::SerialPort, 0), 1u);
    EXPECT_EQ(config_->GetU32(param::SerialBaudrate, 0), 9600u);
    EXPECT_EQ(config_->GetU32(param::SerialDataBits, 0), 8u);
    EXPECT_EQ(config_->GetU32(param::SerialParity, 7), 0u);
    EXPECT_EQ(config_->GetU32(param::SerialStopBits, 7), 0u);
    EXPECT_EQ(hvGetType(config_->Find(param::SerialStopBits)->Value()), unsigned(HV_U32));

    ASSERT_EQ(hvGetType(h.get()), kValueArray);
    ASSERT_EQ(hvGetCount(h.get()), 21u);
    EXPECT_EQ(ElementString(h.get(), 0), "Generic Config Data v1.00");
    CConfigData reloaded(globals_);
    EXPECT_TRUE(reloaded.LoadFromValue(h.get()));
    EXPECT_EQ(reloaded.Count(), 10u);
    EXPECT_EQ(reloaded.GetU32(param::TimeoutMs, 0), 1000u);
    EXPECT_EQ(reloaded.GetString(param::Type, nullptr), "None");
}

TEST_F(ConfigTest, HeaderDifferingInLetterCaseLoadsAsEmptyAndGetsDefaults) {
    HValue h = Array(Str("generic config data v1.00"), Str("IO.Type"), Str("Serial"));
    EXPECT_FALSE(config_->LoadFromValue(h.get()));
    EXPECT_EQ(config_->Count(), 0u);
    EXPECT_TRUE(config_->AdoptSettings(h.get(), DriverDefaults));
    EXPECT_EQ(config_->Count(), 10u);
    EXPECT_EQ(config_->GetString(param::Type, nullptr), "None");
    EXPECT_EQ(ElementString(h.get(), 0), CConfigData::Header);
    EXPECT_EQ(hvGetCount(h.get()), 21u);
}

TEST_F(ConfigTest, HandleOfAnotherTypeIsReplacedByTheDefaults) {
    HValue h = I32(5);
    EXPECT_TRUE(config_->AdoptSettings(h.get(), DriverDefaults));
    EXPECT_EQ(hvGetType(h.get()), kValueArray);
    EXPECT_EQ(hvGetCount(h.get()), 21u);
}

TEST_F(ConfigTest, LegacyTimeoutReplacesTheNewNameAndTheHandleIsRewritten) {
    HValue h = Saved(Str("IO.msTimeout"), U32(3000), Str("IO.TimeoutMs"), U32(500), Str("IO.RecoverPeriod"),
                      U32(30), Str("IO.Type"), Str("Serial"));
    EXPECT_TRUE(config_->AdoptSettings(h.get(), DriverDefaults));
    EXPECT_EQ(config_->Count(), 3u);
    EXPECT_EQ(config_->GetU32(param::TimeoutMs, 0), 3000u);
    EXPECT_EQ(config_->Find("IO.msTimeout"), nullptr);
    ASSERT_NE(config_->Find(param::TimeoutMs), nullptr);
    EXPECT_EQ(config_->Find(param::TimeoutMs)->Name(), "IO.TimeoutMs");
    EXPECT_EQ(config_->GetU32(param::RecoverPeriodSec, 0), 30u);
    EXPECT_EQ(config_->Find("IO.RecoverPeriod"), nullptr);

    std::vector<std::string> names = SavedNames(h.get());
    EXPECT_EQ(names.size(), 3u);
    for (const std::string &name : names) {
        EXPECT_NE(name, "IO.msTimeout");
        EXPECT_NE(name, "IO.RecoverPeriod");
    }
    CConfigData reloaded(globals_);
    EXPECT_TRUE(reloaded.LoadFromValue(h.get()));
    EXPECT_EQ(reloaded.GetU32(param::TimeoutMs, 0), 3000u);
    EXPECT_EQ(reloaded.Count(), 3u);

    const std::vector<std::string> expected = {
        "DELETE_PARAMETER:  IO.TimeoutMs (success)",
        "RENAME_PARAMETER:  IO.msTimeout to IO.TimeoutMs",
        "RENAME_PARAMETER:  IO.RecoverPeriod to IO.RecoverPeriodSec",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(ConfigTest, WithoutLegacyTimeoutOldNamesStayAndTheHandleIsUntouched) {
    HValue h = Saved(Str("IO.RecoverPeriod"), U32(30));
    EXPECT_FALSE(config_->AdoptSettings(h.get(), DriverDefaults));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->GetU32("IO.RecoverPeriod", 0), 30u);
    EXPECT_EQ(config_->Find(param::RecoverPeriodSec), nullptr);
    ASSERT_EQ(hvGetCount(h.get()), 3u);
    EXPECT_EQ(ElementString(h.get(), 1), "IO.RecoverPeriod");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ConfigTest, AllLegacyNamesAreRenamed) {
    const char *oldNames[] = {"IO.msTimeout",          "IO.RecoverPeriod",     "IO.InactivityPeriod",
                              "IO.Serial.DelayBefore", "IO.Serial.DelayAfter", "IO.Serial.CTSTimeout",
                              "IO.Ethernet.PingTimeout", "IO.RAS.CommandTimeout"};
    const char *newNames[] = {"IO.TimeoutMs",            "IO.RecoverPeriodSec",    "IO.InactivityPeriodSec",
                              "IO.Serial.DelayBeforeMs", "IO.Serial.DelayAfterMs", "IO.Serial.CTSTimeoutMs",
                              "IO.Ethernet.PingTimeoutMs", "IO.RAS.CommandTimeoutSec"};
    for (unsigned i = 0; i < 8; ++i) EXPECT_TRUE(config_->SetU32(oldNames[i], 100 + i));
    config_->ApplyLegacyRenames();
    EXPECT_EQ(config_->Count(), 8u);
    std::vector<std::string> expected;
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(config_->Find(oldNames[i]), nullptr) << oldNames[i];
        ASSERT_NE(config_->Find(newNames[i]), nullptr) << newNames[i];
        EXPECT_EQ(config_->Find(newNames[i])->Name(), newNames[i]);
        EXPECT_EQ(config_->GetU32(newNames[i], 0), 100 + i);
        expected.push_back(std::string("RENAME_PARAMETER:  ") + oldNames[i] + " to " + newNames[i]);
    }
    EXPECT_EQ(Messages(), expected);
}

// --- Names -----------------------------------------------------------------

TEST_F(ConfigTest, LookupIgnoresLetterCaseAndKeepsTheFirstSpelling) {
    EXPECT_TRUE(config_->SetString("IO.Type", "Serial"));
    CConfigParameter *found = config_->Find("io.type");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Name(), "IO.Type");
    EXPECT_EQ(config_->GetString("IO.TYPE", nullptr), "Serial");
    EXPECT_TRUE(config_->SetString("io.TYPE", "TCP"));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->Find("IO.Type"), found);

    HValue h = HValue::Create();
    ASSERT_TRUE(config_->SaveToValue(h.get()));
    ASSERT_EQ(hvGetCount(h.get()), 3u);
    EXPECT_EQ(ElementString(h.get(), 0), CConfigData::Header);
    EXPECT_EQ(ElementString(h.get(), 1), "IO.Type");
    EXPECT_EQ(ElementString(h.get(), 2), "TCP");
}

TEST_F(ConfigTest, FindOrCreateMakesANullValueOnce) {
    EXPECT_EQ(config_->Find("IO.Debug"), nullptr);
    EXPECT_EQ(config_->FindOrCreate(nullptr), nullptr);
    CConfigParameter *created = config_->FindOrCreate("IO.Debug");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(hvGetType(created->Value()), unsigned(HV_NULL));
    EXPECT_EQ(config_->FindOrCreate("IO.DEBUG"), created);
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->Find(nullptr), nullptr);
}

TEST_F(ConfigTest, ClearReleasesEveryValue) {
    const long before = hvLiveCount();
    config_->SetGenericDefaults();
    config_->SetDriverDefaults();
    EXPECT_EQ(hvLiveCount(), before + 10);
    config_->Clear();
    EXPECT_EQ(config_->Count(), 0u);
    EXPECT_EQ(hvLiveCount(), before);
}

TEST_F(ConfigTest, GenericDefaultsReplaceTheContent) {
    EXPECT_TRUE(config_->SetString("IO.Other", "x"));
    config_->SetGenericDefaults();
    EXPECT_EQ(config_->Count(), 8u);
    EXPECT_EQ(config_->Find("IO.Other"), nullptr);
    EXPECT_EQ(config_->GetU32(param::TimeoutMs, 0), 2000u);
    EXPECT_EQ(config_->Find(param::Type), nullptr);
}

TEST_F(ConfigTest, DeleteParameterLogsBothOutcomes) {
    EXPECT_TRUE(config_->SetU32("IO.Debug", 1));
    const long before = hvLiveCount();
    EXPECT_FALSE(config_->DeleteParameter("IO.Missing"));
    EXPECT_TRUE(config_->DeleteParameter("io.debug"));
    EXPECT_EQ(hvLiveCount(), before - 1);
    EXPECT_EQ(config_->Count(), 0u);
    EXPECT_FALSE(config_->DeleteParameter("IO.Debug"));
    const std::vector<std::string> expected = {
        "DELETE_PARAMETER:  IO.Missing (failed, does not exist)",
        "DELETE_PARAMETER:  io.debug (success)",
        "DELETE_PARAMETER:  IO.Debug (failed, does not exist)",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(ConfigTest, RenameMovesTheValueAndReplacesTheTarget) {
    EXPECT_TRUE(config_->SetU32("IO.Old", 7));
    EXPECT_TRUE(config_->SetU32("IO.New", 9));
    HVALUE value = config_->Find("IO.Old")->Value();
    EXPECT_TRUE(config_->RenameParameter("IO.New", "io.old"));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->Find("IO.Old"), nullptr);
    ASSERT_NE(config_->Find("io.new"), nullptr);
    EXPECT_EQ(config_->Find("io.new")->Name(), "IO.New");
    EXPECT_EQ(config_->Find("io.new")->Value(), value);
    EXPECT_EQ(config_->GetU32("IO.New", 0), 7u);
    const std::vector<std::string> expected = {
        "DELETE_PARAMETER:  IO.New (success)",
        "RENAME_PARAMETER:  io.old to IO.New",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(ConfigTest, RenameWithoutTheOldNameLeavesTheNewOne) {
    EXPECT_TRUE(config_->SetU32("IO.New", 9));
    EXPECT_FALSE(config_->RenameParameter("IO.New", "IO.Old"));
    EXPECT_EQ(config_->GetU32("IO.New", 0), 9u);
    EXPECT_FALSE(config_->RenameParameter("", "IO.New"));
    EXPECT_FALSE(config_->RenameParameter(nullptr, "IO.New"));
    EXPECT_FALSE(config_->RenameParameter("IO.Other", ""));
    EXPECT_FALSE(config_->RenameParameter("IO.Other", nullptr));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->GetU32("IO.New", 0), 9u);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ConfigTest, RenameToAnotherLetterCaseKeepsTheParameter) {
    EXPECT_TRUE(config_->SetU32("io.timeoutms", 5));
    EXPECT_TRUE(config_->RenameParameter("IO.TimeoutMs", "io.timeoutms"));
    EXPECT_EQ(config_->Count(), 1u);
    ASSERT_NE(config_->Find("IO.TimeoutMs"), nullptr);
    EXPECT_EQ(config_->Find("IO.TimeoutMs")->Name(), "IO.TimeoutMs");
    EXPECT_EQ(config_->GetU32("IO.TimeoutMs", 0), 5u);
    const std::vector<std::string> expected = {"RENAME_PARAMETER:  io.timeoutms to IO.TimeoutMs"};
    EXPECT_EQ(Messages(), expected);
}

// --- Getters and setters ---------------------------------------------------

TEST_F(ConfigTest, GettersReturnTheDefaultWhenAbsentOrUnreadable) {
    EXPECT_EQ(config_->GetI32("IO.Missing", -4), -4);
    EXPECT_EQ(config_->GetU32("IO.Missing", 4), 4u);
    EXPECT_EQ(config_->GetString("IO.Missing", "dflt"), "dflt");
    EXPECT_EQ(config_->GetString("IO.Missing", nullptr), "");

    EXPECT_TRUE(config_->SetString("IO.Word", "abc"));
    EXPECT_EQ(config_->GetI32("IO.Word", -4), -4);
    EXPECT_EQ(config_->GetU32("IO.Word", 4), 4u);
    EXPECT_TRUE(config_->SetString("IO.Number", "42"));
    EXPECT_EQ(config_->GetI32("IO.Number", -4), 42);
    EXPECT_EQ(config_->GetU32("IO.Number", 4), 42u);

    EXPECT_TRUE(config_->SetI32("IO.Negative", -1));
    EXPECT_EQ(config_->GetU32("IO.Negative", 4), 4u);
    EXPECT_EQ(config_->GetI32("IO.Negative", 4), -1);
    EXPECT_EQ(config_->GetString("IO.Negative", "dflt"), "dflt");
    EXPECT_EQ(config_->GetString("IO.Negative", nullptr), "");

    EXPECT_TRUE(config_->SetU32("IO.Big", 4000000000u));
    EXPECT_EQ(config_->GetI32("IO.Big", -4), -4);
    EXPECT_EQ(config_->GetU32("IO.Big", 4), 4000000000u);

    EXPECT_NE(config_->FindOrCreate("IO.Null"), nullptr);
    EXPECT_EQ(config_->GetI32("IO.Null", -4), -4);
    EXPECT_EQ(config_->GetString("IO.Null", "dflt"), "dflt");

    EXPECT_TRUE(config_->SetString("IO.Empty", ""));
    EXPECT_EQ(config_->GetString("IO.Empty", "dflt"), "");
}

TEST_F(ConfigTest, SetValueStoresACopy) {
    HValue source = U32(11);
    EXPECT_TRUE(config_->SetValue("IO.Copy", source.get()));
    ASSERT_TRUE(hvSetU32(source.get(), 12));
    EXPECT_EQ(config_->GetU32("IO.Copy", 0), 11u);
    EXPECT_NE(config_->Find("IO.Copy")->Value(), source.get());
    EXPECT_TRUE(config_->SetI32("IO.Copy", -3));
    EXPECT_EQ(hvGetType(config_->Find("IO.Copy")->Value()), unsigned(HV_I32));
}

// --- SetParameters ---------------------------------------------------------

TEST_F(ConfigTest, SetParametersSkipsNullsAndReturnsTheNamesInOrder) {
    HValue array = Array(Str("IO.Type"), Str("Serial"), Null(), Str("IO.TimeoutMs"), U32(500));
    std::string error;
    std::vector<std::string> names;
    EXPECT_TRUE(config_->SetParameters(array.get(), error, names));
    EXPECT_EQ(error, "");
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type", "IO.TimeoutMs"}));
    EXPECT_EQ(config_->Count(), 2u);
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "Serial");
    EXPECT_EQ(config_->GetU32("IO.TimeoutMs", 0), 500u);
    const std::vector<std::string> expected = {
        "SET_PARAMETER: IO.Type = 'Serial'",
        "SET_PARAMETER: IO.TimeoutMs = 500",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(ConfigTest, SetParametersFailsOnANameWithoutValue) {
    std::string error;
    std::vector<std::string> names;
    HValue lone = Array(Str("IO.Type"));
    EXPECT_FALSE(config_->SetParameters(lone.get(), error, names));
    EXPECT_EQ(error, "Array ended after string 'IO.Type' (element 0)");
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(config_->Count(), 0u);

    HValue late = Array(Str("IO.Type"), Str("Serial"), Null(), Str("IO.Debug"));
    EXPECT_FALSE(config_->SetParameters(late.get(), error, names));
    EXPECT_EQ(error, "Array ended after string 'IO.Debug' (element 3)");
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type"}));
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "Serial");
}

TEST_F(ConfigTest, SetParametersAppliesNestedArraysInOrder) {
    HValue array = Array(Str("IO.Type"), Str("Serial"),
                          Array(Str("IO.Debug"), U32(1), Array(Null(), Str("IO.Log.Enable"), I32(1))),
                          Str("IO.TimeoutMs"), U32(10));
    std::string error;
    std::vector<std::string> names;
    EXPECT_TRUE(config_->SetParameters(array.get(), error, names));
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type", "IO.Debug", "IO.Log.Enable", "IO.TimeoutMs"}));
    EXPECT_EQ(config_->GetU32("IO.Debug", 0), 1u);
    EXPECT_EQ(config_->GetI32("IO.Log.Enable", 0), 1);
    EXPECT_EQ(config_->GetU32("IO.TimeoutMs", 0), 10u);
}

TEST_F(ConfigTest, SetParametersPrefixesErrorsOfNestedArrays) {
    std::string error;
    std::vector<std::string> names;
    HValue array = Array(Str("IO.Type"), Str("X"), Array(Null(), Str("IO.Debug")));
    EXPECT_FALSE(config_->SetParameters(array.get(), error, names));
    EXPECT_EQ(error, "[element 2] Array ended after string 'IO.Debug' (element 1)");
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type"}));
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "X");

    HValue deep = Array(Null(), Array(Array(Str("IO.A"), U32(1), I32(5))));
    EXPECT_FALSE(config_->SetParameters(deep.get(), error, names));
    EXPECT_EQ(error, "[element 1] [element 0] Element 2 type is 5");
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type", "IO.A"}));
}

TEST_F(ConfigTest, SetParametersTakesAnArrayValueAsIs) {
    HValue array = Array(Str("VBScript.Code"), Array(Str("IO.X"), U32(1)));
    std::string error;
    std::vector<std::string> names;
    EXPECT_TRUE(config_->SetParameters(array.get(), error, names));
    EXPECT_EQ(names, (std::vector<std::string>{"VBScript.Code"}));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(hvGetType(config_->Find("VBScript.Code")->Value()), kValueArray);
    EXPECT_EQ(hvGetCount(config_->Find("VBScript.Code")->Value()), 2u);
}

TEST_F(ConfigTest, SetParametersRejectsWhatIsNotAnArrayOfValuesOrStrings) {
    std::string error;
    std::vector<std::string> names;
    EXPECT_FALSE(config_->SetParameters(nullptr, error, names));
    EXPECT_EQ(error, "NULL HVALUE passed");

    HValue scalar = I32(3);
    EXPECT_FALSE(config_->SetParameters(scalar.get(), error, names));
    EXPECT_EQ(error, "HVALUE is not a valid array (type is 5)");

    HValue typed = HValue::Create();
    ASSERT_TRUE(hvSetType(typed.get(), HV_ARRAY | HV_I16, 2));
    EXPECT_FALSE(config_->SetParameters(typed.get(), error, names));
    EXPECT_EQ(error, "HVALUE is not a valid array (type is 131)");

    HValue number = Array(Str("IO.Type"), Str("Serial"), U32(5));
    EXPECT_FALSE(config_->SetParameters(number.get(), error, names));
    EXPECT_EQ(error, "Element 2 type is 6");
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type"}));
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "Serial");
}

TEST_F(ConfigTest, SetParametersAcceptsEmptyArraysAndArraysOfStrings) {
    std::string error;
    std::vector<std::string> names;
    HValue empty = Array();
    EXPECT_TRUE(config_->SetParameters(empty.get(), error, names));
    EXPECT_TRUE(names.empty());

    HValue strings = HValue::Create();
    ASSERT_TRUE(hvSetType(strings.get(), HV_ARRAY | HV_STR, 4));
    ASSERT_TRUE(hvSetElementString(strings.get(), 0, "IO.Type"));
    ASSERT_TRUE(hvSetElementString(strings.get(), 1, "TCP"));
    ASSERT_TRUE(hvSetElementString(strings.get(), 2, "IO.Ethernet.MainIP"));
    ASSERT_TRUE(hvSetElementString(strings.get(), 3, "10.0.0.1"));
    EXPECT_TRUE(config_->SetParameters(strings.get(), error, names));
    EXPECT_EQ(names, (std::vector<std::string>{"IO.Type", "IO.Ethernet.MainIP"}));
    EXPECT_EQ(config_->GetString("IO.Ethernet.MainIP", nullptr), "10.0.0.1");
    EXPECT_EQ(error, "");
}

// --- Configuration dump ----------------------------------------------------

TEST_F(ConfigTest, LogConfigurationSortsIgnoringCaseAndOmitsZeros) {
    EXPECT_TRUE(config_->SetString("IO.Type", "Serial"));
    EXPECT_TRUE(config_->SetU32("IO.TimeoutMs", 1000));
    EXPECT_TRUE(config_->SetU32("IO.Debug", 0));
    EXPECT_TRUE(config_->SetI32("IO.Serial.Parity", 0));
    EXPECT_TRUE(config_->SetI32("io.alpha", -7));
    EXPECT_TRUE(config_->SetString("IO.Zero", "0"));
    config_->LogConfiguration();
    const std::vector<std::string> expected = {
        "Current configuration (6 parameters):",
        "  - io.alpha = -7",
        "  - IO.TimeoutMs = 1000",
        "  - IO.Type = 'Serial'",
        "  - IO.Zero = '0'",
        "  - 2 parameters with value = 0 were omitted",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(ConfigTest, LogConfigurationWithoutZerosHasNoOmittedLine) {
    EXPECT_TRUE(config_->SetU32("IO.B", 2));
    EXPECT_TRUE(config_->SetU32("io.a", 1));
    config_->LogConfiguration();
    const std::vector<std::string> expected = {
        "Current configuration (2 parameters):",
        "  - io.a = 1",
        "  - IO.B = 2",
    };
    EXPECT_EQ(Messages(), expected);
}

// --- Saved form ------------------------------------------------------------

TEST_F(ConfigTest, SaveAndLoadKeepEveryValueType) {
    std::vector<std::pair<std::string, HValue>> values;
    auto add = [&](const char *name, HValue value) { values.emplace_back(name, std::move(value)); };
    HValue v = HValue::Create();
    add("Null", HValue::Create());
    v = HValue::Create(); ASSERT_TRUE(hvSetI8(v.get(), -5)); add("I8", std::move(v));
    v = HValue::Create(); ASSERT_TRUE(hvSetU8(v.get(), 200)); add("U8", std::move(v));
    v = HValue::Create(); ASSERT_TRUE(hvSetI16(v.get(), -300)); add("I16", std::move(v));
    v = HValue::Create(); ASSERT_TRUE(hvSetU16(v.get(), 60000)); add("U16", std::move(v));
    add("I32", I32(-70000));
    add("U32", U32(4000000000u));
    v = HValue::Create(); ASSERT_TRUE(hvSetR32(v.get(), 3.5f)); add("R32", std::move(v));
    v = HValue::Create(); ASSERT_TRUE(hvSetR64(v.get(), -2.25)); add("R64", std::move(v));
    add("STR", Str("it's text"));
    hvTime time = {1700000000u, 250};
    v = HValue::Create(); ASSERT_TRUE(hvSetTime(v.get(), &time)); add("TIME", std::move(v));
    v = HValue::Create();
    ASSERT_TRUE(hvSetType(v.get(), HV_ARRAY | HV_I16, 3));
    hvArrayDataI16(v.get())[0] = 1;
    hvArrayDataI16(v.get())[1] = -2;
    hvArrayDataI16(v.get())[2] = 3;
    add("ArrayI16", std::move(v));
    v = HValue::Create();
    ASSERT_TRUE(hvSetType(v.get(), HV_ARRAY | HV_R64, 2));
    hvArrayDataR64(v.get())[0] = 0.5;
    hvArrayDataR64(v.get())[1] = -1e10;
    add("ArrayR64", std::move(v));
    v = HValue::Create();
    ASSERT_TRUE(hvSetType(v.get(), HV_ARRAY | HV_STR, 2));
    ASSERT_TRUE(hvSetElementString(v.get(), 0, "a"));
    ASSERT_TRUE(hvSetElementString(v.get(), 1, "b"));
    add("ArrayStr", std::move(v));
    add("ArrayValues", Array(U32(1), Str("x"), Array(I32(-1), Null())));
    v = HValue::Create();
    ASSERT_TRUE(hvSetType(v.get(), HV_LIST, 0));
    ASSERT_TRUE(hvListAppend(v.get(), U32(5).get()));
    ASSERT_TRUE(hvListAppend(v.get(), Str("y").get()));
    add("List", std::move(v));
    v = U32(9);
    ASSERT_TRUE(hvSetQuality(v.get(), 0));
    add("BadQuality", std::move(v));

    for (auto &entry : values) ASSERT_TRUE(config_->SetValue(entry.first.c_str(), entry.second.get())) << entry.first;
    HValue saved = HValue::Create();
    ASSERT_TRUE(config_->SaveToValue(saved.get()));
    EXPECT_EQ(hvGetCount(saved.get()), 2 * values.size() + 1);

    CConfigData loaded(globals_);
    ASSERT_TRUE(loaded.LoadFromValue(saved.get()));
    EXPECT_EQ(loaded.Count(), values.size());
    for (auto &entry : values) {
        const CConfigParameter *parameter = loaded.Find(entry.first.c_str());
        ASSERT_NE(parameter, nullptr) << entry.first;
        EXPECT_EQ(parameter->Name(), entry.first);
        EXPECT_EQ(hvGetType(parameter->Value()), hvGetType(entry.second.get())) << entry.first;
        EXPECT_EQ(hvGetCount(parameter->Value()), hvGetCount(entry.second.get())) << entry.first;
        EXPECT_EQ(hvGetQuality(parameter->Value()), hvGetQuality(entry.second.get())) << entry.first;
        EXPECT_EQ(ValueToText(parameter->Value()), ValueToText(entry.second.get())) << entry.first;
        EXPECT_NE(parameter->Value(), entry.second.get());
    }
    // The loaded values are copies: the handle may change afterwards.
    hvSetNull(saved.get());
    EXPECT_EQ(loaded.GetU32("U32", 0), 4000000000u);
    EXPECT_EQ(ValueToText(loaded.Find("ArrayI16")->Value()), "array(3;I16) {1,-2,3}");
}

TEST_F(ConfigTest, SaveOfAnEmptyStoreWritesTheHeaderOnly) {
    HValue h = I32(1);
    ASSERT_TRUE(config_->SaveToValue(h.get()));
    EXPECT_EQ(hvGetType(h.get()), kValueArray);
    ASSERT_EQ(hvGetCount(h.get()), 1u);
    EXPECT_EQ(ElementString(h.get(), 0), "Generic Config Data v1.00");
    EXPECT_FALSE(config_->SaveToValue(nullptr));
}

TEST_F(ConfigTest, SaveFailsWhenTheArrayWouldBeTooLong) {
    // 32767 parameters need 65535 elements, the most an array holds.
    char name[32];
    for (unsigned i = 0; i < 32767; ++i) {
        std::snprintf(name, sizeof name, "P%u", i);
        ASSERT_TRUE(config_->SetU32(name, i));
    }
    HValue h = HValue::Create();
    ASSERT_TRUE(config_->SaveToValue(h.get()));
    EXPECT_EQ(hvGetCount(h.get()), 65535u);
    CConfigData loaded(globals_);
    ASSERT_TRUE(loaded.LoadFromValue(h.get()));
    EXPECT_EQ(loaded.Count(), 32767u);
    EXPECT_EQ(loaded.GetU32("p32766", 0), 32766u);

    ASSERT_TRUE(config_->SetU32("P32767", 1));
    EXPECT_FALSE(config_->SaveToValue(h.get()));
    EXPECT_EQ(config_->Count(), 32768u);
    // The earlier form is not left behind as if it were the current one.
    EXPECT_EQ(hvGetType(h.get()), static_cast<unsigned>(HV_NULL));
}

// --- Malformed saved forms -------------------------------------------------

TEST_F(ConfigTest, LoadRejectsValuesThatAreNotTheSavedForm) {
    EXPECT_TRUE(config_->SetU32("IO.Before", 1));
    EXPECT_FALSE(config_->LoadFromValue(nullptr));
    EXPECT_EQ(config_->Count(), 0u);

    std::vector<HValue> rejected;
    rejected.push_back(HValue::Create());
    rejected.push_back(I32(5));
    rejected.push_back(Str(CConfigData::Header));
    rejected.push_back(Array());
    rejected.push_back(Array(I32(1), Str("IO.Type"), Str("Serial")));
    rejected.push_back(Array(Null(), Str("IO.Type"), Str("Serial")));
    rejected.push_back(Array(Str("Generic Config Data v1.00 "), Str("IO.Type"), Str("Serial")));
    rejected.push_back(Array(Array(Str(CConfigData::Header)), Str("IO.Type"), Str("Serial")));
    HValue strings = HValue::Create();
    ASSERT_TRUE(hvSetType(strings.get(), HV_ARRAY | HV_STR, 3));
    ASSERT_TRUE(hvSetElementString(strings.get(), 0, CConfigData::Header));
    ASSERT_TRUE(hvSetElementString(strings.get(), 1, "IO.Type"));
    ASSERT_TRUE(hvSetElementString(strings.get(), 2, "Serial"));
    rejected.push_back(std::move(strings));
    for (size_t i = 0; i < rejected.size(); ++i) {
        EXPECT_TRUE(config_->SetU32("IO.Before", 1));
        EXPECT_FALSE(config_->LoadFromValue(rejected[i].get())) << i;
        EXPECT_EQ(config_->Count(), 0u) << i;
    }
}

TEST_F(ConfigTest, LoadSkipsPairsThatCannotBeRead) {
    HValue h = Saved(I32(5), Str("lost"),                          // name not a string
                      Null(), U32(3),                                // null name
                      Array(Str("IO.Nested")), U32(4),             // array as name
                      Str("IO.Type"), Str("Serial"),                 // kept
                      Str("VBScript.Code"), Array(Str("a"), U32(1)),  // array as value, kept
                      Str("IO.Null"), Null(),                        // null value, kept
                      Str("IO.Trailing"));                          // unpaired, ignored
    EXPECT_TRUE(config_->LoadFromValue(h.get()));
    EXPECT_EQ(config_->Count(), 3u);
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "Serial");
    ASSERT_NE(config_->Find("VBScript.Code"), nullptr);
    EXPECT_EQ(hvGetType(config_->Find("VBScript.Code")->Value()), kValueArray);
    ASSERT_NE(config_->Find("IO.Null"), nullptr);
    EXPECT_EQ(hvGetType(config_->Find("IO.Null")->Value()), unsigned(HV_NULL));
    EXPECT_EQ(config_->Find("IO.Trailing"), nullptr);
    EXPECT_EQ(config_->Find("IO.Nested"), nullptr);
}

TEST_F(ConfigTest, LoadKeepsTheLaterOfTwoPairsWithTheSameName) {
    HValue h = Saved(Str("IO.Type"), Str("A"), Str("io.TYPE"), Str("B"));
    EXPECT_TRUE(config_->LoadFromValue(h.get()));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->GetString("IO.Type", nullptr), "B");
    EXPECT_EQ(config_->Find("IO.Type")->Name(), "io.TYPE");
}

TEST_F(ConfigTest, LoadReplacesThePreviousContent) {
    EXPECT_TRUE(config_->SetU32("IO.Before", 1));
    HValue h = Saved(Str("IO.Type"), Str("A"));
    EXPECT_TRUE(config_->LoadFromValue(h.get()));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->Find("IO.Before"), nullptr);

    HValue headerOnly = Saved();
    EXPECT_TRUE(config_->LoadFromValue(headerOnly.get()));
    EXPECT_EQ(config_->Count(), 0u);
}

TEST_F(ConfigTest, LoadOfTheLongestArrayWithEmptyPairsGivesAnEmptyStore) {
    HValue h = HValue::Create();
    ASSERT_TRUE(hvSetType(h.get(), kValueArray, HV_MAX_COUNT));
    ASSERT_TRUE(hvSetElementString(h.get(), 0, CConfigData::Header));
    ASSERT_TRUE(hvSetElementString(h.get(), HV_MAX_COUNT - 2, "IO.Last"));
    ASSERT_TRUE(hvSetElementU32(h.get(), HV_MAX_COUNT - 1, 77));
    EXPECT_TRUE(config_->LoadFromValue(h.get()));
    EXPECT_EQ(config_->Count(), 1u);
    EXPECT_EQ(config_->GetU32("IO.Last", 0), 77u);
}

} // namespace

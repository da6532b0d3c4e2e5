// Random settings values and request records, from fixed seeds, through the
// driver's exports: nothing may crash, every export answers 1 or -1, and a
// run leaves no values and no handles behind.
//
// Every pointer that a record holds is null or points at a value or text of
// this test; the tag object is always null. Names that would move the log
// (IO.Log.*) are never generated, so the driver logs only into the scratch
// directory; the device address is always a loopback one, so the network
// links never look up a name or leave the machine.
#include "config/ConfigParameters.h"
#include "base/ControlTags.h"
#include "tests/support/DriverLibrary.h"
#include "tests/support/ProcessCounts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

// xorshift64*: the same sequence on every compiler and library.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint32_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
    }
    unsigned Below(unsigned n) { return n ? Next() % n : 0; }
    bool OneIn(unsigned n) { return Below(n) == 0; }
    template <class T, size_t N>
    const T &Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    uint64_t state_;
};

const char *const KnownNames[] = {
    param::Type, param::TimeoutMs, param::StartOffline, param::ConnectionMode, param::RecoverEnable,
    param::RecoverPeriodSec, param::GiveUpEnable, param::GiveUpTries, param::InactivityEnable,
    param::InactivityPeriodSec, param::Debug, param::SerialPort, param::SerialBaudrate, param::SerialParity,
    param::EthernetMainPort, param::TAPIPhoneNumber, param::RASATCommand,
    param::VBScriptCode, "IO.msTimeout", "IO.RecoverPeriod", "IO.InactivityPeriod", "IO.Serial.DelayBefore",
    "IO.Serial.DelayAfter", "IO.Serial.CTSTimeout", "IO.Ethernet.PingTimeout", "IO.RAS.CommandTimeout",
    "IO.WorkOnline", "IO.Events", "", " ", "Generic Config Data v1.00"};

// The device's address is set only by RandomSettings, and only to loopback:
// a random text there would be looked up as a host name by the network
// links, and a look-up leaves the machine.
const char *const LoopbackAddresses[] = {"127.0.0.1", ""};

const char *const LinkTypes[] = {"None", "none", "N", "n", "Serial", "S", "Modem", "m", "Ethernet", "E",
                                 "RAS", "r", "", "Nonee", "x", "%s%s%n"};

bool MovesTheLog(const std::string &name) {
    return name.size() >= 7 && lstrcmpiA(name.substr(0, 7).c_str(), "IO.Log.") == 0;
}

std::string RandomText(Random &random) {
    switch (random.Below(6)) {
    case 0: return "";
    case 1: return std::string(random.Pick(KnownNames));
    case 2: return std::string(random.Pick(LinkTypes));
    case 3: return std::string(1 + random.Below(3000), static_cast<char>('A' + random.Below(26)));
    case 4: return "%s%d%n%ls%08X";
    default: {
        std::string text(random.Below(40), ' ');
        for (char &c : text) c = static_cast<char>(1 + random.Below(255));
        return text;
    }
    }
}

// A parameter name: one the driver knows (case changed at times), an old
// one, or anything at all, but never one of the log's.
std::string RandomName(Random &random) {
    std::string name = random.OneIn(3) ? RandomText(random) : std::string(random.Pick(KnownNames));
    if (random.OneIn(4)) {
        for (char &c : name) {
            if (!random.OneIn(2)) continue;
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return MovesTheLog(name) ? "Renamed.Log" : name;
}

void FillScalar(Random &random, HVALUE value) {
    switch (random.Below(12)) {
    case 0: hvSetNull(value); break;
    case 1: hvSetI8(value, static_cast<int8_t>(random.Next())); break;
    case 2: hvSetU8(value, static_cast<uint8_t>(random.Next())); break;
    case 3: hvSetI16(value, static_cast<int16_t>(random.Next())); break;
    case 4: hvSetU16(value, static_cast<uint16_t>(random.Next())); break;
    case 5: hvSetI32(value, static_cast<int32_t>(random.Next()) >> random.Below(32)); break;
    case 6: hvSetU32(value, random.Next()); break;
    case 7: hvSetR32(value, random.OneIn(4) ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(random.Next()) / 7.0f); break;
    case 8: {
        const double unusual[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(), 1e300, -0.0, 1.5};
        hvSetR64(value, random.OneIn(2) ? random.Pick(unusual) : static_cast<double>(random.Next()) * 1e-3);
        break;
    }
    case 9: {
        hvTime time = {random.Next(), static_cast<uint16_t>(random.Below(1000))};
        hvSetTime(value, &time);
        break;
    }
    default: hvSetString(value, RandomText(random).c_str()); break;
    }
}

// Any value: scalars, held values, lists and arrays of every kind, nested
// up to depth levels, now and then with a huge element count.
HValue RandomValue(Random &random, int depth) {
    HValue value = HValue::Create();
    const unsigned kind = random.Below(depth > 0 ? 10 : 5);
    if (kind < 5) {
        FillScalar(random, value.get());
    } else if (kind == 5) {
        hvSetType(value.get(), HV_HVAL, 0);
        HValue held;
        if (hvGetElement(value.get(), 0, held.put())) hvCopy(held.get(), RandomValue(random, depth - 1).get());
    } else if (kind == 6) {
        hvSetType(value.get(), HV_LIST, 0);
        for (unsigned i = random.Below(5); i > 0; --i) hvListAppend(value.get(), RandomValue(random, depth - 1).get());
    } else if (kind == 7) {
        const unsigned count = random.OneIn(150) ? 65535 - random.Below(3) : random.Below(9);
        hvSetType(value.get(), HV_ARRAY | (1 + random.Below(12)), count);
    } else {
        const unsigned count = random.OneIn(300) ? 65535 : random.Below(8);
        hvSetType(value.get(), HV_ARRAY | HV_HVAL, count);
        for (unsigned i = 0; i < count && i < 8; ++i) {
            HValue element;
            if (!hvGetElement(value.get(), i, element.put())) continue;
            if (random.OneIn(2))
                hvSetString(element.get(), RandomName(random).c_str());
            else
                hvCopy(element.get(), RandomValue(random, depth - 1).get());
        }
    }
    return value;
}

// Mostly settings in the saved form, with the odd header, count or pair.
HValue RandomSettings(Random &random) {
    if (random.OneIn(6)) return RandomValue(random, 3);
    const unsigned pairs = random.OneIn(300) ? 32767 : random.Below(12);
    const unsigned count = 1 + 2 * pairs + (random.OneIn(5) ? 1 : 0);
    HValue settings = HValue::Create();
    hvSetType(settings.get(), random.OneIn(10) ? (HV_ARRAY | HV_STR) : (HV_ARRAY | HV_HVAL), count);
    const char *headers[] = {"Generic Config Data v1.00", "Generic Config Data v1.00", "Generic Config Data v1.00",
                             "Generic Config Data v1.01", "", "generic config data v1.00"};
    hvSetElementString(settings.get(), 0, random.Pick(headers));
    for (unsigned i = 1; i < count && i < 40; i += 2) {
        const bool address = random.OneIn(10);
        const std::string name = address ? param::EthernetMainIP : RandomName(random);
        if (random.OneIn(8) && !address)
            hvSetElementI32(settings.get(), i, 5);
        else
            hvSetElementString(settings.get(), i, name.c_str());
        if (i + 1 >= count) break;
        HValue element;
        if (!hvGetElement(settings.get(), i + 1, element.put())) {
            hvSetElementString(settings.get(), i + 1,
                               address ? random.Pick(LoopbackAddresses) : RandomText(random).c_str());
            continue;
        }
        if (address)
            hvSetString(element.get(), random.Pick(LoopbackAddresses));
        else if (lstrcmpiA(name.c_str(), param::Type) == 0)
            hvSetString(element.get(), random.Pick(LinkTypes));
        else
            hvCopy(element.get(), RandomValue(random, 2).get());
    }
    return settings;
}

bool IsExportResult(short result) { return result == 1 || result == -1; }

std::wstring Widen(const std::string &text) {
    std::wstring wide;
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

// What one request case owns: its values and texts.
struct CaseData {
    std::vector<HValue> values;
    std::vector<std::wstring> texts;
    HVALUE AddValue(HValue value) {
        values.push_back(std::move(value));
        return values.back().get();
    }
    const wchar_t *AddText(std::wstring text) {
        texts.push_back(std::move(text));
        return texts.back().c_str();
    }
    bool Owns(HVALUE value) const {
        for (const HValue &owned : values)
            if (owned.get() == value) return true;
        return false;
    }
};

const wchar_t *AddTextFrom(Random &random, CaseData &data) {
    std::string text = RandomName(random);
    if (random.OneIn(3)) text = std::string(random.Below(2500), 'w');
    return data.AddText(Widen(text));
}

// Texts for the request's names: control tags, parameters, junk.
const wchar_t *RandomTagText(Random &random, CaseData &data) {
    static const wchar_t *const names[] = {L"IO.WorkOnline", L"io.events", L"IO.LinkStatus", L"IO.Type",
                                           L"IO.TimeoutMs", L"", L"%s%n", L"Temp"};
    switch (random.Below(4)) {
    case 0: return nullptr;
    case 1: return random.Pick(names);
    case 2: return AddTextFrom(random, data);
    default: return nullptr;
    }
}

uint16_t RandomOperation(Random &random) {
    const uint16_t known[] = {OP_READ_VALUE, OP_WRITE_VALUE, OP_READ_BLOCK, OP_WRITE_BLOCK,
                              OP_READ_BLOCK_ELEMENT, OP_WRITE_BLOCK_ELEMENT, OP_MASK_WRITE_VALUE,
                              OP_MASK_WRITE_BLOCK_ELEMENT};
    return random.OneIn(5) ? static_cast<uint16_t>(random.Next()) : random.Pick(known);
}

uint16_t RandomSize(Random &random) {
    const uint16_t sizes[] = {0, 1, 1, 1, 2, 4, 4, 5, 100, 0xFFFF};
    return random.OneIn(6) ? static_cast<uint16_t>(random.Next()) : random.Pick(sizes);
}

HVALUE RandomHandle(Random &random, CaseData &data, int nullOneIn) {
    if (random.OneIn(nullOneIn)) return nullptr;
    if (!data.values.empty() && random.OneIn(3)) return data.values[random.Below(static_cast<unsigned>(data.values.size()))].get();
    // Set-parameter arrays now and then, so that the configuration changes.
    if (random.OneIn(4)) {
        HValue name = StringValue(RandomName(random).c_str());
        HValue setting = RandomValue(random, 1);
        return data.AddValue(ArrayOf({name.get(), setting.get()}));
    }
    return data.AddValue(RandomValue(random, 2));
}

// A well-formed request on one of the host's control tags, then one of its
// fields changed at random, so that most records get past the checks in
// front of the handlers.
void FillHostTagRecord(Random &random, CaseData &data, DriverRequest &request, uint16_t version) {
    struct Shape {
        uint16_t n4, operation, count, blockSize;
    };
    const Shape shapes[] = {{HOST_TAG_EVENTS, OP_READ_BLOCK, 4, 4},
                            {HOST_TAG_LINK_STATUS, OP_READ_VALUE, 1, 1},
                            {HOST_TAG_SET_PARAMETERS, OP_WRITE_VALUE, 1, 1},
                            {HOST_TAG_SET_PARAMETERS, OP_WRITE_BLOCK, 2, 2},
                            {HOST_TAG_WORK_ONLINE, OP_READ_VALUE, 1, 1},
                            {HOST_TAG_WORK_ONLINE, OP_WRITE_VALUE, 1, 1},
                            {HOST_TAG_PARAMETER_BY_NAME, OP_READ_VALUE, 1, 1},
                            {HOST_TAG_PARAMETER_BY_NAME, OP_WRITE_VALUE, 1, 1}};
    const Shape &shape = random.Pick(shapes);
    request = MakeRequest(shape.operation, -1, 0, 0, shape.n4, nullptr, shape.count, shape.blockSize);
    request.version = version;
    request.flags = random.OneIn(5) ? 0 : REQUEST_FLAG_VALIDATED;
    request.value = RandomHandle(random, data, 30);
    request.message = RandomHandle(random, data, 3);
    request.paramItem = random.OneIn(4) ? nullptr : AddTextFrom(random, data);
    if (shape.n4 == HOST_TAG_WORK_ONLINE && shape.operation == OP_WRITE_VALUE && random.OneIn(2))
        request.value = data.AddValue(I32Value(0));
    switch (random.Below(16)) {
    case 0: request.operation = RandomOperation(random); break;
    case 1: request.elementCount = RandomSize(random); break;
    case 2: request.firstElement = RandomSize(random); break;
    case 3: request.n3 = static_cast<uint16_t>(random.Below(7)); break;
    case 4: request.paramDevice = AddTextFrom(random, data); break;
    default: break;
    }
}

// A record of version 3 and above, used in place by the driver.
void FillCurrentRecord(Random &random, CaseData &data, DriverRequest &request, uint16_t version) {
    if (random.OneIn(2)) {
        FillHostTagRecord(random, data, request, version);
        return;
    }
    request = {};
    request.version = version;
    request.operation = RandomOperation(random);
    request.elementCount = RandomSize(random);
    request.firstElement = random.OneIn(3) ? RandomSize(random) : 0;
    request.blockSize = RandomSize(random);
    request.n1 = random.OneIn(4) ? static_cast<int16_t>(random.Next()) : -1;
    request.n2 = random.OneIn(5) ? static_cast<uint16_t>(random.Next()) : 0;
    request.n3 = random.OneIn(3) ? static_cast<uint16_t>(random.Below(8)) : (random.OneIn(2) ? 0 : static_cast<uint16_t>(random.Next()));
    request.n4 = random.OneIn(5) ? static_cast<uint16_t>(random.Next()) : static_cast<uint16_t>(random.Below(8));
    request.unused18 = static_cast<uint16_t>(random.Next());
    request.mask1 = random.OneIn(2) ? 0 : random.Next();
    request.mask2 = random.OneIn(2) ? 0 : random.Next();
    request.maskByte1 = static_cast<uint8_t>(random.Next());
    request.maskByte2 = static_cast<uint8_t>(random.Next());
    request.unused30 = static_cast<uint16_t>(random.Next());
    request.value = RandomHandle(random, data, 8);
    request.message = RandomHandle(random, data, 2);
    request.flags = random.Next() & (random.OneIn(2) ? ~0u : ~REQUEST_FLAG_VALIDATED);
    request.tagObject = nullptr;
    request.paramDevice = random.OneIn(4) ? RandomTagText(random, data) : nullptr;
    request.paramItem = RandomTagText(random, data);
}

// The bytes of a record of versions 0 to 2: fields up to N4, then the mask
// fields and the value handles in either layout.
struct LegacyBytes {
    alignas(8) uint8_t bytes[96] = {};
    template <class T>
    void Put(size_t offset, T field) {
        memcpy(bytes + offset, &field, sizeof field);
    }
    template <class T>
    T Get(size_t offset) const {
        T field;
        memcpy(&field, bytes + offset, sizeof field);
        return field;
    }
};

void FillLegacyRecord(Random &random, CaseData &data, LegacyBytes &record, uint16_t version) {
    record = LegacyBytes();
    record.Put<uint16_t>(0, version);
    record.Put<uint16_t>(2, RandomOperation(random));
    record.Put<uint16_t>(4, RandomSize(random));
    record.Put<uint16_t>(6, random.OneIn(3) ? RandomSize(random) : 0);
    record.Put<uint16_t>(8, RandomSize(random));
    record.Put<int16_t>(10, random.OneIn(4) ? static_cast<int16_t>(random.Next()) : -1);
    record.Put<uint16_t>(12, random.OneIn(5) ? static_cast<uint16_t>(random.Next()) : 0);
    record.Put<uint16_t>(14, static_cast<uint16_t>(random.Below(8)));
    record.Put<uint16_t>(16, static_cast<uint16_t>(random.Below(8)));
    const bool packed = random.OneIn(2);
    const size_t valueAt = packed ? 28 : 32;
    if (random.OneIn(2)) {
        record.Put<uint32_t>(packed ? 18 : 20, random.OneIn(2) ? 0 : random.Next());
        record.Put<uint32_t>(packed ? 22 : 24, random.OneIn(2) ? 0 : random.Next());
        record.Put<uint8_t>(packed ? 26 : 28, static_cast<uint8_t>(random.Next()));
        record.Put<uint8_t>(packed ? 27 : 29, static_cast<uint8_t>(random.Next()));
    }
    record.Put<HVALUE>(valueAt, RandomHandle(random, data, 8));
    if (version >= 2) record.Put<HVALUE>(valueAt + sizeof(HVALUE), RandomHandle(random, data, 2));
}

// The handles that the driver will read from an old record, by the same
// rules it uses to tell the layouts apart; false when the record would be
// refused anyway or every handle read is null or one of the case's.
bool LegacyHandlesAreSafe(const LegacyBytes &record, const CaseData &data) {
    auto zeroAt = [&](size_t mask1, size_t mask2, size_t byte1, size_t byte2) {
        return record.Get<uint32_t>(mask1) == 0 && record.Get<uint32_t>(mask2) == 0 &&
               record.Get<uint8_t>(byte1) == 0 && record.Get<uint8_t>(byte2) == 0;
    };
    size_t valueAt;
    if (record.Get<uint16_t>(2) & OP_BIT_MASK)
        valueAt = 28;
    else if (zeroAt(20, 24, 28, 29) && record.Get<uint16_t>(30) == 0)
        valueAt = 32;
    else if (zeroAt(18, 22, 26, 27))
        valueAt = 28;
    else
        return true;
    auto safe = [&](size_t at) {
        const HVALUE handle = record.Get<HVALUE>(at);
        return handle == nullptr || data.Owns(handle);
    };
    return safe(valueAt) && (record.Get<uint16_t>(0) < 2 || safe(valueAt + sizeof(HVALUE)));
}

class DriverFuzz : public DriverFixture {
protected:
    // The driver with nothing set and nothing started, as at the start.
    void ReleaseEverything() {
        library_.stopComm(0, 0, 0, 0);
        library_.setSettingsHandle(nullptr);
    }
    void StartForRequests() {
        HValue settings = LoggedSettings().String("IO.Type", "None").Make();
        library_.setSettingsHandle(settings.get());
        ASSERT_EQ(library_.startComm(0, 0, 0, 0), 1);
    }

    // One random request through drvIO, and now and then a status call.
    void RequestCase(Random &random) {
        CaseData data;
        const uint16_t version = static_cast<uint16_t>(random.Below(8));
        HVALUE argument = RandomHandle(random, data, 20);
        short result;
        if (version < REQUEST_VERSION_IN_PLACE) {
            LegacyBytes record;
            FillLegacyRecord(random, data, record, version);
            if (!LegacyHandlesAreSafe(record, data)) {
                ++skipped_;
                return;
            }
            result = library_.io(reinterpret_cast<DriverRequest *>(record.bytes), argument);
        } else {
            DriverRequest request;
            FillCurrentRecord(random, data, request, version);
            if (random.OneIn(3)) argument = request.value;
            result = library_.io(&request, argument);
            EXPECT_EQ(request.tagObject, nullptr);
        }
        EXPECT_TRUE(IsExportResult(result)) << result;
        if (result == 1) ++succeeded_;
        if (random.OneIn(10)) {
            HValue status = RandomValue(random, 1);
            const char *names[] = {"LOG", "LOGFILE", "log", "", "LOGX", "%s%n"};
            EXPECT_TRUE(IsExportResult(library_.getStatus(random.Pick(names), status.get())));
            EXPECT_TRUE(IsExportResult(library_.setStatus(random.OneIn(2) ? "LOG" : "Other", status.get())));
        }
    }

    void SettingsCase(Random &random) {
        HValue settings = RandomSettings(random);
        library_.setSettingsHandle(settings.get());
        EXPECT_TRUE(IsExportResult(library_.startComm(random.Next(), 0, 0, random.Next())));
        if (random.OneIn(3)) {
            CaseData data;
            DriverRequest request;
            FillCurrentRecord(random, data, request, REQUEST_VERSION_CURRENT);
            HValue value = HValue::Create();
            EXPECT_TRUE(IsExportResult(library_.io(&request, value.get())));
        }
        EXPECT_TRUE(IsExportResult(library_.stopComm(0, 0, 0, 0)));
        if (random.OneIn(2)) library_.setSettingsHandle(nullptr);
    }

    unsigned skipped_ = 0;
    unsigned succeeded_ = 0;
};

TEST_F(DriverFuzz, RandomSettingsValuesAreSurvived) {
    for (uint64_t seed : {1ull, 0x5EEDull}) {
        // The cases run once to create what the process makes only once
        // (the network links load system libraries that keep a handle),
        // then again from the same seed: the replay must leave nothing.
        long liveBefore = 0;
        DWORD handlesBefore = 0;
        for (int pass = 0; pass < 2; ++pass) {
            Random random(seed);
            ReleaseEverything();
            liveBefore = hvLiveCount();
            handlesBefore = HandleCount();
            for (int i = 0; i < 500; ++i) {
                SettingsCase(random);
                if (HasFatalFailure() || HasFailure()) FAIL() << "seed " << seed << ", case " << i;
            }
        }
        ReleaseEverything();
        EXPECT_EQ(hvLiveCount(), liveBefore) << "seed " << seed;
        EXPECT_LE(HandleCount(), handlesBefore) << "seed " << seed;
    }
}

TEST_F(DriverFuzz, RandomRequestRecordsAreSurvived) {
    for (uint64_t seed : {7ull, 0xC0FFEEull}) {
        Random random(seed);
        StartForRequests();
        for (int i = 0; i < 200; ++i) RequestCase(random);  // warm-up
        ReleaseEverything();
        const long liveBefore = hvLiveCount();
        const DWORD handlesBefore = HandleCount();
        StartForRequests();
        for (int i = 0; i < 3000; ++i) {
            RequestCase(random);
            if (HasFailure()) FAIL() << "seed " << seed << ", case " << i;
        }
        // Requests after a stop are refused.
        ReleaseEverything();
        for (int i = 0; i < 50; ++i) {
            CaseData data;
            DriverRequest request;
            FillCurrentRecord(random, data, request, REQUEST_VERSION_CURRENT);
            HValue value = HValue::Create();
            EXPECT_EQ(library_.io(&request, value.get()), -1);
        }
        EXPECT_EQ(hvLiveCount(), liveBefore) << "seed " << seed;
        EXPECT_LE(HandleCount(), handlesBefore) << "seed " << seed;
    }
    // The records reached the tags' handlers, not only the checks in front.
    EXPECT_GT(succeeded_, 300u);
    EXPECT_LT(skipped_, 1000u);
}

} // namespace

// Tests of the control tag table: its contents, the lookups and validation
// by name and by number, the help texts and the tag browser tree.
#include "toolkit/ControlTagTable.h"

#include "toolkit/ControlTagStrings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace quillon;

namespace {

struct ExpectedTag {
    int group;
    const char *name;
    unsigned helpId;
    uint8_t type;
    uint32_t attributes;
    uint16_t n3, n4;
};

// The table as the host and the documentation know it, in table order.
const ExpectedTag ExpectedTags[] = {
    {1, "IO.ChanferEvent", 50058, 10, 0x09, 0, 1},
    {1, "IO.PhysicalLayerStatus", 50002, 5, 0x01, 0, 2},
    {1, "IO.SetConfigurationParameters", 50003, 10, 0x06, 0, 3},
    {1, "IO.WorkOnline", 50004, 5, 0x03, 0, 4},
    {2, "IO.TAPI.PhoneNumber", 50045, 9, 0x03, 3, 0},
    {2, "IO.TAPI.Dial", 50046, 10, 0x12, 3, 1},
    {2, "IO.TAPI.ModemStatus", 50047, 9, 0x01, 3, 2},
    {2, "IO.TAPI.IsModemConnected", 50048, 4, 0x01, 3, 3},
    {2, "IO.TAPI.HangUp", 50049, 10, 0x12, 3, 4},
    {2, "IO.TAPI.ConnectionBaudRate", 50050, 6, 0x01, 3, 5},
    {2, "IO.TAPI.IsModemConnecting", 50051, 4, 0x01, 3, 6},
    {3, "IO.Ethernet.IPSelect", 50055, 5, 0x03, 4, 0},
    {3, "IO.Ethernet.IPSwitch", 50056, 10, 0x12, 4, 1},
    {4, "IO.Type", 50005, 9, 0x23, 0, 5},
    {4, "IO.TimeoutMs", 50006, 6, 0x23, 0, 5},
    {4, "IO.StartOffline", 50007, 5, 0x23, 0, 5},
    {4, "IO.ConnectionMode", 50008, 6, 0x23, 0, 5},
    {4, "IO.RecoverEnable", 50009, 5, 0x23, 0, 5},
    {4, "IO.RecoverPeriodSec", 50010, 6, 0x23, 0, 5},
    {4, "IO.GiveUpEnable", 50011, 5, 0x23, 0, 5},
    {4, "IO.GiveUpTries", 50012, 6, 0x23, 0, 5},
    {4, "IO.InactivityEnable", 50013, 5, 0x23, 0, 5},
    {4, "IO.InactivityPeriodSec", 50014, 6, 0x23, 0, 5},
    {4, "IO.Log.Enable", 50015, 5, 0x23, 0, 5},
    {4, "IO.Log.Filename", 50016, 9, 0x23, 0, 5},
    {4, "IO.Serial.Port", 50017, 6, 0x23, 0, 5},
    {4, "IO.Serial.Baudrate", 50018, 6, 0x23, 0, 5},
    {4, "IO.Serial.DataBits", 50019, 6, 0x23, 0, 5},
    {4, "IO.Serial.StopBits", 50020, 6, 0x23, 0, 5},
    {4, "IO.Serial.Parity", 50021, 6, 0x23, 0, 5},
    {4, "IO.Serial.RTS", 50022, 5, 0x23, 0, 5},
    {4, "IO.Serial.DTR", 50023, 5, 0x23, 0, 5},
    {4, "IO.Serial.DelayBeforeMs", 50024, 6, 0x23, 0, 5},
    {4, "IO.Serial.DelayAfterMs", 50025, 6, 0x23, 0, 5},
    {4, "IO.Serial.CTSTimeoutMs", 50026, 6, 0x23, 0, 5},
    {4, "IO.Serial.WaitCTS", 50027, 5, 0x23, 0, 5},
    {4, "IO.Serial.InterbyteDelayUs", 50028, 6, 0x23, 0, 5},
    {4, "IO.Serial.InterframeDelayMs", 50029, 6, 0x23, 0, 5},
    {4, "IO.Serial.SupressEcho", 50030, 5, 0x23, 0, 5},
    {4, "IO.TAPI.AcceptIncoming", 50031, 5, 0x23, 0, 5},
    {4, "IO.TAPI.PhoneNumber", 50032, 9, 0x23, 0, 5},
    {4, "IO.TAPI.ModemID", 50033, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.MainIP", 50034, 9, 0x23, 0, 5},
    {4, "IO.Ethernet.MainPort", 50035, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.MainLocalPortEnable", 50036, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.MainLocalPort", 50037, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.BackupEnable", 50038, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.BackupIP", 50039, 9, 0x23, 0, 5},
    {4, "IO.Ethernet.BackupPort", 50040, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.BackupLocalPortEnable", 50041, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.BackupLocalPort", 50042, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.PingEnable", 50043, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.PingTimeoutMs", 50044, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.PingTries", 50068, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.Transport", 50069, 9, 0x23, 0, 5},
    {4, "IO.Ethernet.AcceptConnection", 50070, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.ListenPort", 50071, 6, 0x23, 0, 5},
    {4, "IO.Ethernet.ListenIP", 50072, 9, 0x23, 0, 5},
    {4, "IO.Ethernet.ShareListenPort", 50073, 5, 0x23, 0, 5},
    {4, "IO.Ethernet.SupressEcho", 50074, 5, 0x23, 0, 5},
    {4, "IO.RAS.ATCommand", 50075, 9, 0x23, 0, 5},
    {4, "IO.RAS.CommandTimeoutSec", 50076, 6, 0x23, 0, 5},
};
constexpr size_t ExpectedTagCount = sizeof ExpectedTags / sizeof ExpectedTags[0];

const std::map<unsigned, std::wstring> ExpectedTexts = {
    {50002, L"Reports the status of the physical layer"},
    {50003, L"Sets one or more configuration parameters"},
    {50004, L"Sets the physical layer online/offline"},
    {50005, L"Defines the type of physical interface used by the driver: \"Serial\", \"Modem\", \"Ethernet\" or \"RAS\""},
    {50006, L"Defines the physical layer timeout (in milliseconds; 1 second = 1000)."},
    {50007, L"TRUE to start the driver offline, FALSE to start the driver online."},
    {50008, L"Controls the Connection management mode: 0 = automatic mode (the driver manages the connection); 1 = manual mode (the application manages the connection)"},
    {50009, L"TRUE to enable the driver to recover lost connections, FALSE to make the driver go OFFLINE when a connection is lost."},
    {50010, L"Number of seconds to wait between two reconnection tries. NOTE: the first reconnection is done immediately after the connection is lost."},
    {50011, L"TRUE to define a maximum number of reconnection tries. If all reconnections fail the driver will be placed OFFLINE. If set to FALSE the driver will try until a reconnection succeedes."},
    {50012, L"Number of reconnection tries before aborting the reconnection. For example, if you specify 1, then the driver will try only one reconnection when the connection is lost. If it fails the driver will be placed OFFLINE."},
    {50013, L"TRUE to enable, FALSE to disable inactivity detection. The physical layer will be disconnected if inactive for a period of time. It is considered inactive only if it capable of sending data but does not receive any data back."},
    {50014, L"Number of seconds for the inactivity check. If the physical layer is inactive for this period of time then it will be disconnected."},
    {50015, L"Put TRUE to enable, and FALSE to disable log generation."},
    {50016, L"String defining the log filename."},
    {50017, L"The number of the local serial port: 1 = COM1; 2 = COM2; 3 = COM3; etc"},
    {50018, L"Specify the serial port baud rate. Example: 9600"},
    {50019, L"Specify the number of data bits for the serial port configuration. Possible values are: 5 = 5 data bits; 6 = 6 data bits; 7 = 7 data bits; 8 = 8 data bits"},
    {50020, L"Specify the number of stop bits for the serial port configuration. Possible values are: 1 = one stop bit; 2 = one and \u00BD stop bits; 3 = two stop bits"},
    {50021, L"Specify the parity for the serial port configuration. Possible values are: \"Even\", \"None\", \"Odd\", \"Mark\" or \"Space\""},
    {50022, L"Indicates how the driver will handle the RTS signal: \"OFF\" = RTS always OFF; \"ON\" = RTS always ON; \"Toggle\" = turn RTS ON when transmitting data, and OFF when not transmitting"},
    {50023, L"Indicates how the driver will handle the DTR signal: \"OFF\" = DTR always OFF; \"ON\" = DTR always ON"},
    {50024, L"Number of milliseconds to delay after turning RTS ON, but before sending the data. This option is available only when RTS is \"Toggle\" and WaitCTS is FALSE."},
    {50025, L"Number of milliseconds to delay after sending the last byte through the serial, and before turning OFF the RTS signal. Available only when RTS is \"Toggle\" and WaitCTS is FALSE."},
    {50026, L"Number of milliseconds to wait for the CTS signal. After RTS is turned ON a timer is started to wait for the CTS signal, if this timer expires the driver aborts sending bytes through the serial port. Available only when RTS is \"Toggle\" and WaitCTS is TRUE."},
    {50027, L"TRUE to make the driver wait for the CTS signal before sending bytes when RTS is turned ON. Available only when the RTS option is set to \"Toggle\"."},
    {50028, L"Defines a delay (in microseconds, millionths of a second) between each byte sent on the serial interface. If the delay is 0, then the whole packet will be sent at once."},
    {50029, L"Defines a delay (in miliseconds, thousands of a second) between each frame sent on the serial interface."},
    {50030, L"Enables 'echo' supression, assumes every byte sent on the serial interface will generate an 'echo' in the receive direction."},
    {50031, L"FALSE if the modem should not accept incoming calls (the driver acts as a master), TRUE to enable receiving calls (the driver acts as a slave)."},
    {50032, L"The phone number to use in dial commands. For example: \"0w01234566\" (the 'w' forces the modem to wait for a dial tone)"},
    {50033, L"The modem ID number. This ID is created by windows, and used internally to identify the modem within the list of devices installed in the computer. You should not rely on the ID being valid if the modem is reinstalled or if you run the application on another computer. NOTE: It is strongly recommended to set this parameter to 0, indicating that the driver should use the first modem available."},
    {50034, L"IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.6\" or \"SERVER1\""},
    {50035, L"IP port number in the destination device (used together with the Main IP)."},
    {50036, L"Enables the local port configuration for the Main IP."},
    {50037, L"Configures the local IP Port number to be used when connecting to the Main IP."},
    {50038, L"TRUE to enable the backup IP address. If connecting to the main IP fails then the driver will try to use the backup address. FALSE to disable using the backup IP address."},
    {50039, L"Alternate IP address of the destination device. You can use either the dotted IP address or the device HOST name. Examples: \"192.168.0.7\" or \"SERVER2\""},
    {50040, L"Alternate IP port number in the destination device (used together with the Backup IP)."},
    {50041, L"Enables the local port configuration for the Backup IP."},
    {50042, L"Configures the local IP Port number to be used when connecting to the Backup IP."},
    {50043, L"TRUE to enable pinging the destination device IP address before trying to connect the socket. The socket connect timeout cannot be controlled, so pinging the address before connecting is a fast way to detect if the connection will fail. FALSE will disable pinging."},
    {50044, L"Number of milliseconds to wait for a ping response."},
    {50045, L"The phone number to be called"},
    {50046, L"Makes the call"},
    {50047, L"Reports the current modem status"},
    {50048, L"Indicates if the modem is connected"},
    {50049, L"Hangs up the current call"},
    {50050, L"Indicates the current baud rate"},
    {50051, L"Indicates if the modem is currently connecting"},
    {50052, L"General"},
    {50053, L"Modem"},
    {50054, L"Ethernet"},
    {50055, L"Indicates/selects the current IP (primary or backup)"},
    {50056, L"Toggles the active IP (primary <-> backup)"},
    {50057, L"Parameters"},
    {50058, L"This block returns driver events generated by various sources in the Chanfer (see the Chanfer documentation for a list of all possible events). The block timeStamp property is the time when the event occurred."},
    {50059, L"The type of event:  0 = information;  1 = warning;  2 = error"},
    {50060, L"Identifies the source that generated the event:  0 = the driver generated the event;  -1 = Chanfer generic event;  -2 = serial interface event;  -3 = modem interface event;  -4 = ethernet interface event;  -5 = RAS interface event"},
    {50061, L"The event number (depends on the source). Please check the Chanfer documentation for a list of possible events."},
    {50062, L"A string containing a description for the event."},
    {50063, L"Chanfer specific tags"},
    {50064, L"General Tags"},
    {50065, L"Tags that control the Modem interface"},
    {50066, L"Tags that control the Ethernet interface"},
    {50067, L"Configuration parameters for the Chanfer (modifyable when the driver is offline)"},
    {50068, L"Maximum number of ping tries (minimum is 1, includes the first ping)."},
    {50069, L"Defines the transport protocol: \"TCP\" = TCP/IP; \"UDP\" = use UDP/IP"},
    {50070, L"FALSE if the driver should not accept incoming connections (the driver acts as a master), TRUE to enable receiving incoming connections (the driver acts as a slave)."},
    {50071, L"Number of the IP Port used by the driver to listen to connections."},
    {50072, L"Forces the driver to listen to connections only on the specified IP. Leave it blank to listen on all network interfaces."},
    {50073, L"Enables the listen port to be shared with other drivers or processes."},
    {50074, L"Enables 'echo' supression, assumes every byte sent on the ethernet inferface will generate an 'echo' in the receive direction."},
    {50075, L"AT command to send through the socket to force the RAS device to dial using the current RAS channel. Example: \"ATDT5550187\""},
    {50076, L"Number of seconds to wait for the \"CONNECT\" message in response to the AT command."},
};

const char *const EventElementNames[] = {"EventType", "EventSource", "ErrorNumber", "EventDescription"};

size_t TableSize() {
    size_t n = 0;
    while (ControlTagTable[n].group != CONTROL_GROUP_END) ++n;
    return n;
}

std::string ToAnsi(const std::wstring &text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

std::string AnsiText(unsigned id) { return ToAnsi(ExpectedTexts.at(id)); }

TagInfo MakeInfo(int16_t n1, uint16_t n2, uint16_t n3, uint16_t n4, uint16_t blockSize) {
    TagInfo info;
    std::memset(&info, 0, sizeof info);
    info.n1 = n1;
    info.n2 = n2;
    info.n3 = n3;
    info.n4 = n4;
    info.blockSize = blockSize;
    return info;
}

HRESULT ByNumber(uint16_t n3, uint16_t n4, uint16_t blockSize) {
    const TagInfo info = MakeInfo(-1, 0, n3, n4, blockSize);
    return ValidateControlTagByNumber(&info);
}

// Runs first so that the lookups are built by racing threads; the threads
// spin at a barrier so that their first lookups start together.
TEST(ControlTagFirstUse, ConcurrentValidationSeesCompleteLookups) {
    const int threadCount = static_cast<int>(std::max(4u, std::thread::hardware_concurrency()));
    std::atomic<int> waiting{threadCount};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            --waiting;
            while (waiting.load() > 0) std::this_thread::yield();
            for (size_t round = 0; round < ExpectedTagCount; ++round) {
                const ExpectedTag &tag = ExpectedTags[(round + t * 7) % ExpectedTagCount];
                const std::wstring item(tag.name, tag.name + std::strlen(tag.name));
                TagInfo info = MakeInfo(0, 0, 0, 0, 0);
                const bool parameterName = std::strcmp(tag.name, "IO.TAPI.PhoneNumber") == 0;
                if (ValidateControlTagByName(item.c_str(), &info) != 0) {
                    ++failures;
                } else if (!parameterName && (info.n3 != tag.n3 || info.n4 != tag.n4)) {
                    ++failures;
                }
                const uint16_t blockSize = (tag.attributes & CONTROL_ATTR_EVENTS_BLOCK) ? 4 : 0;
                if (ByNumber(tag.n3, tag.n4, blockSize) != 0) ++failures;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ControlTagTableTest, HasTheTagsOfEachGroupInOrder) {
    ASSERT_EQ(TableSize(), 62u);
    ASSERT_EQ(ExpectedTagCount, 62u);
    std::map<int, int> perGroup;
    for (size_t i = 0; i < TableSize(); ++i) {
        const ControlTagEntry &entry = ControlTagTable[i];
        const ExpectedTag &expected = ExpectedTags[i];
        SCOPED_TRACE(expected.name);
        ++perGroup[entry.group];
        EXPECT_EQ(entry.group, expected.group);
        EXPECT_STREQ(entry.name, expected.name);
        EXPECT_EQ(entry.helpId, expected.helpId);
        EXPECT_EQ(entry.type, expected.type);
        EXPECT_EQ(entry.attributes, expected.attributes);
        EXPECT_EQ(entry.n1, -1);
        EXPECT_EQ(entry.n2, 0);
        EXPECT_EQ(entry.n3, expected.n3);
        EXPECT_EQ(entry.n4, expected.n4);
        if (i > 0) {
            EXPECT_GE(entry.group, ControlTagTable[i - 1].group);
        }
    }
    EXPECT_EQ(perGroup[CONTROL_GROUP_GENERAL], 4);
    EXPECT_EQ(perGroup[CONTROL_GROUP_MODEM], 7);
    EXPECT_EQ(perGroup[CONTROL_GROUP_ETHERNET], 2);
    EXPECT_EQ(perGroup[CONTROL_GROUP_PARAMETERS], 49);
}

TEST(ControlTagTableTest, OnlyTheEventsBlockHasElements) {
    for (size_t i = 0; i < TableSize(); ++i) {
        const ControlTagEntry &entry = ControlTagTable[i];
        SCOPED_TRACE(entry.name);
        if (std::strcmp(entry.name, "IO.ChanferEvent") != 0) {
            EXPECT_EQ(entry.elementCount, 0);
            EXPECT_EQ(entry.elements, nullptr);
            continue;
        }
        ASSERT_EQ(entry.elementCount, 4);
        ASSERT_NE(entry.elements, nullptr);
        for (unsigned k = 0; k < 4; ++k) {
            EXPECT_STREQ(entry.elements[k].name, EventElementNames[k]);
            EXPECT_EQ(entry.elements[k].helpId, 50059 + k);
        }
    }
}

TEST(ControlTagTableTest, NamesAreUniqueExceptThePhoneNumber) {
    std::map<std::string, int> seen;
    for (size_t i = 0; i < TableSize(); ++i) {
        std::string upper = ControlTagTable[i].name;
        for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        ++seen[upper];
    }
    for (const auto &name : seen) {
        const int expected = name.first == "IO.TAPI.PHONENUMBER" ? 2 : 1;
        EXPECT_EQ(name.second, expected) << name.first;
    }
}

TEST(ControlTagTableTest, HelpIdentifiersAreDistinct) {
    std::set<unsigned> ids;
    for (size_t i = 0; i < TableSize(); ++i) EXPECT_TRUE(ids.insert(ControlTagTable[i].helpId).second);
    EXPECT_EQ(ids.size(), 62u);
}

TEST(ControlTagTableTest, AccessRestrictionFlagsFollowReadAndWriteAttributes) {
    ControlTagEntry entry = ControlTagTable[0];
    entry.attributes = CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER;
    EXPECT_EQ(AccessRestrictionFlags(entry), 0u);
    entry.attributes = CONTROL_ATTR_READABLE | CONTROL_ATTR_EVENTS_BLOCK;
    EXPECT_EQ(AccessRestrictionFlags(entry), TAG_ACCESS_NO_WRITE);
    entry.attributes = CONTROL_ATTR_WRITABLE | CONTROL_ATTR_COMMAND;
    EXPECT_EQ(AccessRestrictionFlags(entry), TAG_ACCESS_NO_READ);
    entry.attributes = CONTROL_ATTR_ANY_BLOCK_SIZE;
    EXPECT_EQ(AccessRestrictionFlags(entry), TAG_ACCESS_NO_READ | TAG_ACCESS_NO_WRITE);
}

TEST(ControlTagLookup, ByNameIgnoresCaseAndPrefersTheParameter) {
    const ControlTagEntry *entry = FindControlTagByName("io.serial.stopbits");
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->name, "IO.Serial.StopBits");
    entry = FindControlTagByName("IO.TAPI.PhoneNumber");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->group, CONTROL_GROUP_PARAMETERS);
    EXPECT_EQ(entry->helpId, static_cast<unsigned>(IDS_CT_PARAM_TAPI_PHONE_NUMBER));
    EXPECT_EQ(FindControlTagByName("IO.TAPI"), nullptr);
    EXPECT_EQ(FindControlTagByName("IO.WorkOnlineX"), nullptr);
    EXPECT_EQ(FindControlTagByName(""), nullptr);
    EXPECT_EQ(FindControlTagByName(nullptr), nullptr);
}

TEST(ControlTagLookup, ByAddressKeepsTheLastEntryOfAnAddress) {
    const ControlTagEntry *entry = FindControlTagByAddress(0, 5);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->name, "IO.RAS.CommandTimeoutSec");
    entry = FindControlTagByAddress(3, 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->group, CONTROL_GROUP_MODEM);
    entry = FindControlTagByAddress(4, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->name, "IO.Ethernet.IPSwitch");
    EXPECT_EQ(FindControlTagByAddress(0, 0), nullptr);
    EXPECT_EQ(FindControlTagByAddress(0, 6), nullptr);
    EXPECT_EQ(FindControlTagByAddress(3, 7), nullptr);
    EXPECT_EQ(FindControlTagByAddress(5, 0), nullptr);
}

TEST(ControlTagValidation, ByNameInAnyCaseFillsTheDescriptor) {
    TagInfo info = MakeInfo(7, 7, 7, 7, 7);
    info.type = 99;
    info.flags = 0xFF;
    IUnknown *marker = reinterpret_cast<IUnknown *>(static_cast<uintptr_t>(0x1234));
    info.tagObject = marker;
    ASSERT_EQ(ValidateControlTagByName(L"io.workONLINE", &info), 0);
    EXPECT_EQ(info.n1, -1);
    EXPECT_EQ(info.n2, 0);
    EXPECT_EQ(info.n3, 0);
    EXPECT_EQ(info.n4, 4);
    EXPECT_EQ(info.type, 5);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.blockSize, 0);
    EXPECT_EQ(info.tagObject, marker);
}

TEST(ControlTagValidation, ByNameGivesBlockSizeAndRestrictions) {
    TagInfo info = MakeInfo(0, 0, 0, 0, 0);
    ASSERT_EQ(ValidateControlTagByName(L"IO.ChanferEvent", &info), 0);
    EXPECT_EQ(info.n3, 0);
    EXPECT_EQ(info.n4, 1);
    EXPECT_EQ(info.blockSize, 4);
    EXPECT_EQ(info.type, 10);
    EXPECT_EQ(info.flags, TAG_ACCESS_NO_WRITE);

    info = MakeInfo(0, 0, 0, 0, 9);
    ASSERT_EQ(ValidateControlTagByName(L"IO.TAPI.Dial", &info), 0);
    EXPECT_EQ(info.n3, 3);
    EXPECT_EQ(info.n4, 1);
    EXPECT_EQ(info.blockSize, 0);
    EXPECT_EQ(info.flags, TAG_ACCESS_NO_READ);
}

TEST(ControlTagValidation, ByNameOfThePhoneNumberGivesTheParameter) {
    TagInfo info = MakeInfo(0, 0, 0, 0, 0);
    ASSERT_EQ(ValidateControlTagByName(L"IO.TAPI.PhoneNumber", &info), 0);
    EXPECT_EQ(info.n1, -1);
    EXPECT_EQ(info.n2, 0);
    EXPECT_EQ(info.n3, 0);
    EXPECT_EQ(info.n4, 5);
    EXPECT_EQ(info.type, 9);
    EXPECT_EQ(info.flags, 0u);
}

TEST(ControlTagValidation, UnknownNamesFailAndLeaveTheDescriptor) {
    for (const wchar_t *item : {L"IO.Unknown", L"IO.WorkOnline ", L"IO.Work", L"", L"IO.WorkOnline\u00E9"}) {
        TagInfo info = MakeInfo(1, 2, 3, 4, 5);
        EXPECT_EQ(ValidateControlTagByName(item, &info), E_FAIL);
        EXPECT_EQ(info.n1, 1);
        EXPECT_EQ(info.n4, 4);
        EXPECT_EQ(info.blockSize, 5);
    }
    TagInfo info = MakeInfo(0, 0, 0, 0, 0);
    EXPECT_EQ(ValidateControlTagByName(nullptr, &info), E_FAIL);
    EXPECT_EQ(ValidateControlTagByName(L"IO.WorkOnline", nullptr), E_FAIL);
}

TEST(ControlTagValidation, EveryNameValidatesAgainByNumber) {
    for (const ExpectedTag &tag : ExpectedTags) {
        SCOPED_TRACE(tag.name);
        const std::wstring item(tag.name, tag.name + std::strlen(tag.name));
        TagInfo info = MakeInfo(0, 0, 0, 0, 0);
        ASSERT_EQ(ValidateControlTagByName(item.c_str(), &info), 0);
        EXPECT_EQ(ValidateControlTagByNumber(&info), 0);
    }
}

TEST(ControlTagValidation, ByNumberAcceptsTheEventsBlockOnlyAsABlock) {
    EXPECT_EQ(ByNumber(0, 1, 0), E_FAIL);
    EXPECT_EQ(ByNumber(0, 1, 4), 0);
    EXPECT_EQ(ByNumber(0, 1, 1), 0);
}

TEST(ControlTagValidation, ByNumberAcceptsSetConfigurationWithOrWithoutBlockSize) {
    EXPECT_EQ(ByNumber(0, 3, 0), 0);
    EXPECT_EQ(ByNumber(0, 3, 12), 0);
}

TEST(ControlTagValidation, ByNumberAcceptsSingleValuesOnlyWithoutBlockSize) {
    EXPECT_EQ(ByNumber(3, 0, 0), 0);
    EXPECT_EQ(ByNumber(3, 0, 1), E_FAIL);
    EXPECT_EQ(ByNumber(0, 5, 0), 0);
    EXPECT_EQ(ByNumber(0, 5, 2), E_FAIL);
    EXPECT_EQ(ByNumber(4, 1, 0), 0);
}

TEST(ControlTagValidation, ByNumberRejectsOtherAddresses) {
    TagInfo info = MakeInfo(-1, 1, 0, 4, 0);
    EXPECT_EQ(ValidateControlTagByNumber(&info), E_FAIL);
    info = MakeInfo(0, 0, 0, 4, 0);
    EXPECT_EQ(ValidateControlTagByNumber(&info), E_FAIL);
    info = MakeInfo(1, 0, 0, 4, 0);
    EXPECT_EQ(ValidateControlTagByNumber(&info), E_FAIL);
    EXPECT_EQ(ByNumber(0, 0, 0), E_FAIL);
    EXPECT_EQ(ByNumber(0, 6, 0), E_FAIL);
    EXPECT_EQ(ByNumber(3, 7, 0), E_FAIL);
    EXPECT_EQ(ByNumber(4, 2, 0), E_FAIL);
    EXPECT_EQ(ValidateControlTagByNumber(nullptr), E_FAIL);
}

TEST(ControlTagValidation, ByNumberLeavesTypeAndFlags) {
    TagInfo info = MakeInfo(-1, 0, 0, 4, 0);
    info.type = 77;
    info.flags = 0x40;
    ASSERT_EQ(ValidateControlTagByNumber(&info), 0);
    EXPECT_EQ(info.type, 77);
    EXPECT_EQ(info.flags, 0x40u);
}

TEST(ControlTagStrings, EveryTextLoadsExactly) {
    const HINSTANCE module = GetModuleHandleW(nullptr);
    ASSERT_EQ(ExpectedTexts.size(), 75u);
    for (unsigned id = 50002; id <= 50076; ++id) {
        SCOPED_TRACE(id);
        ASSERT_EQ(ExpectedTexts.count(id), 1u);
        const std::wstring &expected = ExpectedTexts.at(id);
        const wchar_t *text = nullptr;
        const int length = LoadStringW(module, id, reinterpret_cast<wchar_t *>(&text), 0);
        ASSERT_GT(length, 0);
        EXPECT_EQ(std::wstring(text, static_cast<size_t>(length)), expected);

        char ansi[1024] = {};
        ASSERT_GT(LoadStringA(module, id, ansi, sizeof ansi), 0);
        EXPECT_EQ(std::string(ansi), ToAnsi(expected));
    }
    char none[16];
    EXPECT_EQ(LoadStringA(module, 50001, none, sizeof none), 0);
    EXPECT_EQ(LoadStringA(module, 50077, none, sizeof none), 0);
}

TEST(ControlTagStrings, EveryTableIdentifierHasItsText) {
    for (size_t i = 0; i < TableSize(); ++i) {
        const ControlTagEntry &entry = ControlTagTable[i];
        EXPECT_EQ(ExpectedTexts.count(entry.helpId), 1u) << entry.name;
        for (unsigned k = 0; k < entry.elementCount; ++k)
            EXPECT_EQ(ExpectedTexts.count(entry.elements[k].helpId), 1u) << entry.elements[k].name;
    }
}

TEST(ControlTagStrings, OneAndAHalfReachesTheAnsiCodePage) {
    const wchar_t *wide = nullptr;
    const int length = LoadStringW(GetModuleHandleW(nullptr), IDS_CT_PARAM_SERIAL_STOP_BITS,
                                   reinterpret_cast<wchar_t *>(&wide), 0);
    ASSERT_GT(length, 0);
    const std::wstring text(wide, static_cast<size_t>(length));
    EXPECT_NE(text.find(L"one and \u00BD stop bits"), std::wstring::npos);

    char ansi[512] = {};
    ASSERT_GT(LoadStringA(GetModuleHandleW(nullptr), IDS_CT_PARAM_SERIAL_STOP_BITS, ansi, sizeof ansi), 0);
    const std::string expected = "one and " + ToAnsi(L"\u00BD") + " stop bits";
    EXPECT_NE(std::string(ansi).find(expected), std::string::npos);
    if (GetACP() == 1252) {
        EXPECT_NE(std::string(ansi).find("one and \xBD stop bits"), std::string::npos);
    }
}

// A node of the recording browser; only identifies a parent.
class Node : public IIOTagBrowser {
public:
    explicit Node(int id) : id_(id) {}
    virtual ~Node() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (iid != IID_IUnknown) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IUnknown *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }
    // Items go through the browser, never through a node.
    HRESULT STDMETHODCALLTYPE AddItem(IIOTagBrowser *, const BrowserItem *, IIOTagBrowser **, DWORD) override {
        ++misuse;
        return E_NOTIMPL;
    }
    int Id() const { return id_; }
    LONG Refs() const { return refs_; }
    int misuse = 0;

private:
    LONG refs_ = 1;
    int id_;
};

struct Call {
    int parent;         // 0 for the browser's root, -1 for an unknown pointer
    uint32_t kind;
    std::string name, description, itemText;
    bool hasItemText;
    uint32_t accessFlags, countOrIndex;
    bool wantsNode;

    bool operator==(const Call &o) const {
        return parent == o.parent && kind == o.kind && name == o.name && description == o.description &&
               itemText == o.itemText && hasItemText == o.hasItemText && accessFlags == o.accessFlags &&
               countOrIndex == o.countOrIndex && wantsNode == o.wantsNode;
    }
};

std::ostream &operator<<(std::ostream &os, const Call &c) {
    return os << "{parent " << c.parent << ", kind " << c.kind << ", \"" << c.name << "\", \"" << c.description
              << "\", " << (c.hasItemText ? "\"" + c.itemText + "\"" : std::string("null")) << ", access "
              << c.accessFlags << ", count " << c.countOrIndex << ", node " << c.wantsNode << "}";
}

// Records every AddItem call; nodes are numbered 1, 2, ... in creation order.
class RecordingBrowser : public Node {
public:
    RecordingBrowser() : Node(0) {}
    ~RecordingBrowser() override {
        for (Node *node : nodes) node->Release();
    }
    HRESULT STDMETHODCALLTYPE AddItem(IIOTagBrowser *parent, const BrowserItem *item, IIOTagBrowser **node,
                                      DWORD reserved) override {
        Call call{};
        call.parent = parent ? -1 : 0;
        for (Node *n : nodes)
            if (n == parent) call.parent = n->Id();
        call.kind = item->kind;
        call.name = item->name ? item->name : "<null>";
        call.description = item->description ? item->description : "<null>";
        call.hasItemText = item->itemText != nullptr;
        call.itemText = item->itemText ? item->itemText : "";
        call.accessFlags = item->accessFlags;
        call.countOrIndex = item->countOrIndex;
        call.wantsNode = node != nullptr;
        calls.push_back(call);
        if (item->size != sizeof(BrowserItem) || reserved != 0 || !ReservedBytesZero(*item)) ++badRecords;

        const HRESULT hr = failWhen ? failWhen(call) : S_OK;
        if (FAILED(hr) || !node) return hr;
        if (withholdNodeWhen && withholdNodeWhen(call)) {
            *node = nullptr;
            return hr;
        }
        Node *created = new Node(static_cast<int>(nodes.size()) + 1);
        nodes.push_back(created);
        created->AddRef();
        *node = created;
        return hr;
    }

    static bool ReservedBytesZero(const BrowserItem &item) {
        BrowserItem copy = item;
        copy.size = 0;
        copy.kind = 0;
        copy.name = nullptr;
        copy.description = nullptr;
        copy.itemText = nullptr;
        copy.accessFlags = 0;
        copy.countOrIndex = 0;
        static const BrowserItem zero{};
        return std::memcmp(&copy, &zero, sizeof copy) == 0;
    }

    std::function<HRESULT(const Call &)> failWhen;
    std::function<bool(const Call &)> withholdNodeWhen;  // succeed, but without a node
    std::vector<Call> calls;
    std::vector<Node *> nodes;
    int badRecords = 0;
};

Call Folder(int parent, const std::string &name, unsigned descriptionId) {
    return Call{parent, BROWSER_FOLDER, name, AnsiText(descriptionId), "", false, 0, 0, true};
}

// The calls of a complete tree; failedGroup names a group whose folder
// add fails and whose tags are therefore missing.
std::vector<Call> ExpectedTree(int failedGroup = 0) {
    std::vector<Call> calls;
    calls.push_back(Folder(0, "Chanfer", IDS_CT_ROOT_DESCRIPTION));
    int nextNode = 2;
    const struct {
        int group;
        const char *name;
        unsigned descriptionId;
    } folders[] = {{1, "General", 50064}, {2, "Modem", 50065}, {3, "Ethernet", 50066}, {4, "Parameters", 50067}};
    for (const auto &folder : folders) {
        calls.push_back(Folder(1, folder.name, folder.descriptionId));
        if (folder.group == failedGroup) continue;
        const int folderNode = nextNode++;
        for (const ExpectedTag &tag : ExpectedTags) {
            if (tag.group != folder.group) continue;
            const uint32_t access = ((tag.attributes & 1) ? 0 : TAG_ACCESS_NO_READ) |
                                    ((tag.attributes & 2) ? 0 : TAG_ACCESS_NO_WRITE);
            const bool block = std::strcmp(tag.name, "IO.ChanferEvent") == 0;
            calls.push_back(Call{folderNode, block ? 5u : 4u, tag.name, AnsiText(tag.helpId), tag.name, true,
                                 access, block ? 4u : 0u, block});
            if (!block) continue;
            const int blockNode = nextNode++;
            for (unsigned k = 0; k < 4; ++k)
                calls.push_back(Call{blockNode, 6, EventElementNames[k], AnsiText(50059 + k), "", false, 0, k, false});
        }
    }
    return calls;
}

void ExpectCalls(const std::vector<Call> &actual, const std::vector<Call> &expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "call " << i;
}

void ExpectNoLeaksOrMisuse(const RecordingBrowser &browser) {
    EXPECT_EQ(browser.badRecords, 0);
    for (const Node *node : browser.nodes) {
        EXPECT_EQ(node->Refs(), 1) << "node " << node->Id();
        EXPECT_EQ(node->misuse, 0) << "node " << node->Id();
    }
}

TEST(ControlTagTree, AddsRootFoldersTagsAndBlockElementsInOrder) {
    RecordingBrowser browser;
    ASSERT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), 0);
    const std::vector<Call> expected = ExpectedTree();
    ASSERT_EQ(expected.size(), 1u + 4u + 62u + 4u);
    ExpectCalls(browser.calls, expected);
    EXPECT_EQ(browser.nodes.size(), 6u);  // root, four folders, the events block
    ExpectNoLeaksOrMisuse(browser);
}

TEST(ControlTagTree, FailedRootAddsNothingMore) {
    RecordingBrowser browser;
    browser.failWhen = [](const Call &) { return E_ACCESSDENIED; };
    EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), E_ACCESSDENIED);
    ASSERT_EQ(browser.calls.size(), 1u);
    EXPECT_EQ(browser.calls[0], ExpectedTree()[0]);
}

TEST(ControlTagTree, RootWithoutNodeAddsNothingMore) {
    RecordingBrowser browser;
    browser.withholdNodeWhen = [](const Call &) { return true; };
    EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), E_UNEXPECTED);
    EXPECT_EQ(browser.calls.size(), 1u);
}

TEST(ControlTagTree, FailedFolderSkipsOnlyItsGroup) {
    for (const char *folder : {"General", "Modem", "Ethernet", "Parameters"}) {
        SCOPED_TRACE(folder);
        RecordingBrowser browser;
        const std::string name = folder;
        browser.failWhen = [&](const Call &call) {
            return call.kind == BROWSER_FOLDER && call.name == name ? E_FAIL : S_OK;
        };
        EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), 0);
        const int group = name == "General" ? 1 : name == "Modem" ? 2 : name == "Ethernet" ? 3 : 4;
        ExpectCalls(browser.calls, ExpectedTree(group));
        ExpectNoLeaksOrMisuse(browser);
    }
}

TEST(ControlTagTree, FailedTagsDoNotStopTheirGroup) {
    RecordingBrowser browser;
    browser.failWhen = [](const Call &call) {
        return call.kind == BROWSER_BLOCK || call.name == "IO.TAPI.Dial" ? E_FAIL : S_OK;
    };
    EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), 0);
    std::vector<Call> expected;
    for (const Call &call : ExpectedTree())
        if (call.kind != BROWSER_BLOCK_ELEMENT) expected.push_back(call);
    // Without the block's node the later folders get one number less.
    for (Call &call : expected)
        if (call.parent > 2) --call.parent;
    ExpectCalls(browser.calls, expected);
    ExpectNoLeaksOrMisuse(browser);
}

TEST(ControlTagTree, FolderWithoutNodeSkipsItsGroup) {
    RecordingBrowser browser;
    browser.withholdNodeWhen = [](const Call &call) { return call.name == "Modem"; };
    EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), 0);
    ExpectCalls(browser.calls, ExpectedTree(CONTROL_GROUP_MODEM));
    ExpectNoLeaksOrMisuse(browser);
}

TEST(ControlTagTree, BlockWithoutNodeGetsNoElements) {
    RecordingBrowser browser;
    browser.withholdNodeWhen = [](const Call &call) { return call.kind == BROWSER_BLOCK; };
    EXPECT_EQ(AddControlTagTree(&browser, GetModuleHandleW(nullptr)), 0);
    std::vector<Call> expected;
    for (const Call &call : ExpectedTree())
        if (call.kind != BROWSER_BLOCK_ELEMENT) expected.push_back(call);
    for (Call &call : expected)
        if (call.parent > 2) --call.parent;
    ExpectCalls(browser.calls, expected);
    ExpectNoLeaksOrMisuse(browser);
}

// A module without the control tag texts: folders fall back to their
// names, everything else gets an empty description.
TEST(ControlTagTree, MissingTextsFallBack) {
    HMODULE module = GetModuleHandleW(L"ntdll.dll");
    ASSERT_NE(module, nullptr);
    for (unsigned id = 50002; id <= 50076; ++id) {
        char text[8];
        ASSERT_EQ(LoadStringA(module, id, text, sizeof text), 0) << id;
    }
    RecordingBrowser browser;
    ASSERT_EQ(AddControlTagTree(&browser, module), 0);
    std::vector<Call> expected = ExpectedTree();
    for (Call &call : expected) call.description.clear();
    ExpectCalls(browser.calls, expected);
    ExpectNoLeaksOrMisuse(browser);
}

TEST(ControlTagTree, NullBrowserIsRejected) {
    EXPECT_EQ(AddControlTagTree(nullptr, GetModuleHandleW(nullptr)), E_POINTER);
}

} // namespace

// The settings sheet as a user meets it: the real windows on a display,
// driven with window messages from the test thread while the driver's
// dialog runs on a thread of its own (run by run-ui-tests.sh).
#include "tests/support/DriverLibrary.h"
#include "ui/SettingsResource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

using namespace quillon;
using namespace quillon::test;

namespace {

const char CAPTION[] = "Driver Tarvel VBScript v1.1.3 (Chanfer v2.0.25)";
const char TITLE[] = "Driver Tarvel VBScript v1.1.3";
enum { SCRIPT, SETUP, SERIAL, ETHERNET, MODEM, RAS };

// Waits until condition holds; false after a generous deadline.
bool WaitFor(const std::function<bool()> &condition, DWORD milliseconds = 30000) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(10);
    }
    return true;
}

// A top-level dialog of this process with the given title, other than skip.
HWND FindDialog(const char *title, HWND skip = nullptr, DWORD process = GetCurrentProcessId()) {
    HWND found = nullptr;
    while ((found = FindWindowExA(nullptr, found, "#32770", title)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(found, &owner);
        if (owner == process && found != skip && IsWindowVisible(found)) return found;
    }
    return nullptr;
}

std::string TextOf(HWND window) {
    wchar_t wide[4096] = L"";
    GetWindowTextW(window, wide, 4096);
    char text[8192] = "";
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

// The parameters of a settings value by upper-case name.
std::map<std::string, HVALUE> Parameters(HVALUE settings) {
    std::map<std::string, HVALUE> parameters;
    for (unsigned i = 1; i + 1 < hvGetCount(settings); i += 2) {
        const char *name = "";
        HVALUE value = nullptr;
        hvGetElementString(settings, i, &name);
        hvGetElement(settings, i + 1, &value);
        std::string key = name;
        CharUpperA(&key[0]);
        parameters[key] = value;
        hvRelease(value);  // the array keeps its element
    }
    return parameters;
}

std::string Stored(HVALUE settings, const char *name) {
    std::string key = name;
    CharUpperA(&key[0]);
    auto parameters = Parameters(settings);
    auto found = parameters.find(key);
    if (found == parameters.end()) return "<absent>";
    const char *text = nullptr;
    uint32_t number = 0;
    if (hvGetType(found->second) == HV_STR && hvGetString(found->second, &text)) return text;
    if (hvGetType(found->second) == HV_I32 && hvGetU32(found->second, &number)) return "I" + std::to_string(number);
    if (hvGetU32(found->second, &number)) return std::to_string(number);
    return "<type " + std::to_string(hvGetType(found->second)) + ">";
}

BOOL CALLBACK ClearIfUnpainted(HWND window, LPARAM painted) {
    if (GetUpdateRect(window, nullptr, FALSE)) *reinterpret_cast<bool *>(painted) = false;
    return TRUE;
}

// The driver's dialog running on a thread of its own, and the means to
// drive its windows.
class Sheet {
public:
    // The thread initialises COM as a host's does (the script check needs it).
    explicit Sheet(std::function<HRESULT()> open)
        : thread_([this, open] {
              CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
              result_ = open();
              CoUninitialize();
          }) {
        EXPECT_TRUE(WaitFor([&] { return (window_ = FindDialog(CAPTION)) != nullptr; })) << "no sheet appeared";
    }
    // After a failed check: any box left open is answered, then the sheet
    // cancelled.
    ~Sheet() {
        if (!thread_.joinable()) return;
        for (const char *title : {TITLE, "Verify Script"})
            if (HWND box = FindDialog(title, window_)) {
                PostMessageW(box, WM_COMMAND, IDNO, 0);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            }
        PostMessageW(window_, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        thread_.join();
    }
    HWND Window() const { return window_; }
    HWND Page(int index) const { return reinterpret_cast<HWND>(SendMessageW(window_, PSM_INDEXTOHWND, index, 0)); }
    HWND Current() const { return reinterpret_cast<HWND>(SendMessageW(window_, PSM_GETCURRENTPAGEHWND, 0, 0)); }
    HWND Control(int page, int id) const { return GetDlgItem(Page(page), id); }
    void Show(int page) const { SendMessageW(window_, PSM_SETCURSEL, page, 0); }
    // For a page change that opens a message box.
    void PostShow(int page) const { PostMessageW(window_, PSM_SETCURSEL, page, 0); }

    std::string Text(int page, int id) const { return TextOf(Control(page, id)); }
    void Type(int page, int id, const wchar_t *text) const {
        SendMessageW(Control(page, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    bool Checked(int page, int id) const { return SendMessageW(Control(page, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    bool Enabled(int page, int id) const { return IsWindowEnabled(Control(page, id)) != FALSE; }
    void Click(int page, int id) const { SendMessageW(Control(page, id), BM_CLICK, 0, 0); }
    void PostClick(int page, int id) const { PostMessageW(Control(page, id), BM_CLICK, 0, 0); }
    int Selection(int page, int id) const { return static_cast<int>(SendMessageW(Control(page, id), CB_GETCURSEL, 0, 0)); }
    void Choose(int page, int id, int index) const {
        SendMessageW(Control(page, id), CB_SETCURSEL, index, 0);
        SendMessageW(Page(page), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Control(page, id)));
    }

    // The message box titled title: its text, answered with button.
    std::string Answer(const char *title, int button) const {
        HWND box = nullptr;
        EXPECT_TRUE(WaitFor([&] { return (box = FindDialog(title, window_)) != nullptr; })) << "no box " << title;
        if (!box) return "<no box>";
        const std::string text = TextOf(GetDlgItem(box, 0xFFFF));
        PostMessageW(box, WM_COMMAND, button, 0);
        EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); }));
        return text;
    }

    HRESULT Close(int button) {
        PostMessageW(window_, PSM_PRESSBUTTON, button, 0);
        thread_.join();
        return result_;
    }

    // A picture of the sheet once every window of it has repainted.
    void Picture(const std::string &name) const {
        const char *shots = getenv("QUILLON_SHOTS");
        if (!shots) {
            ADD_FAILURE() << "QUILLON_SHOTS is not set: run through run-ui-tests.sh";
            return;
        }
        RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
        ASSERT_TRUE(WaitFor([&] {
            SendMessageW(window_, WM_NULL, 0, 0);
            bool painted = !GetUpdateRect(window_, nullptr, FALSE);
            EnumChildWindows(window_, ClearIfUnpainted, reinterpret_cast<LPARAM>(&painted));
            return painted;
        }));
        const auto xid = reinterpret_cast<uintptr_t>(GetPropA(window_, "__wine_x11_whole_window"));
        ASSERT_NE(xid, 0u) << "the sheet has no X window";
        const std::string base = std::string("Z:") + shots + "/" + name;
        WriteWholeFile(base + ".request.tmp", std::to_string(xid));
        MoveFileA((base + ".request.tmp").c_str(), (base + ".request").c_str());
        EXPECT_TRUE(WaitFor([&] { return FileExists(base + ".png"); }, 60000)) << "no picture " << name;
    }

private:
    HWND window_ = nullptr;
    HRESULT result_ = E_UNEXPECTED;
    std::thread thread_;
};

class SheetTest : public DriverFixture {
protected:
    // A sheet on settings holding exactly the given parameters; locale, when
    // given, is the dialog thread's.
    std::unique_ptr<Sheet> Open(const Settings &settings, LCID locale = 0) {
        settings_ = settings.Make();
        EXPECT_EQ(Instance()->SetSettingsHandle(settings_.get()), S_OK);
        IIODriverInstance *driver = Instance();
        return std::make_unique<Sheet>([driver, locale] {
            if (locale) SetThreadLocale(locale);
            return driver->DriverDialog(nullptr);
        });
    }
    std::string Value(const char *name) const { return Stored(settings_.get(), name); }

    HValue settings_;
};

// Non-empty and without IO.msTimeout, so the driver leaves it as it is.
Settings Bare() { return Settings().String("VBScript.Code", ""); }

Settings Full() {
    return Settings()
        .String("VBScript.Code", "Sub OnRead(Request, Value)\r\nEnd Sub")
        .String("IO.Type", "serial").Int("IO.TimeoutMs", 1500).Int("IO.ConnectionMode", 1)
        .String("IO.Log.Filename", "C:\\logs\\q.log").Int("IO.Log.Enable", 1)
        .Int("IO.Serial.Port", 3).Int("IO.Serial.Baudrate", 19200).Int("IO.Serial.DataBits", 7)
        .Int("IO.Serial.Parity", 2).Int("IO.Serial.StopBits", 2).Int("IO.Serial.RTS", 2)
        .String("IO.Ethernet.Transport", "udp").String("IO.Ethernet.MainIP", "127.0.0.1")
        .Int("IO.Ethernet.MainPort", 502).Int("IO.Ethernet.PingTimeoutMs", 900)
        .Int("IO.TAPI.ModemID", 77).String("IO.TAPI.PhoneNumber", "5551234")
        .String("IO.RAS.ATCommand", "ATDT123").Int("IO.RAS.CommandTimeoutSec", 45);
}

// The pages' controls: the text each shows on an empty store (Bare) and on
// Full(), the edit typed into it on Full() and the value OK then stores
// (nullptr where a case does not look).
struct Field {
    int page, id;
    const char *bare, *full;
    const wchar_t *typed;
    const char *name, *stored;
};
const Field kFields[] = {
    {SCRIPT, IDC_SCRIPT_TEXT, "", "Sub OnRead(Request, Value)\r\nEnd Sub", L"' edited", "VBScript.Code", "' edited"},
    {SCRIPT, IDC_SCRIPT_TIME_LIMIT, "30", "30", L"45", "VBScript.TimeLimitSec", "45"},
    {SETUP, IDC_SETUP_TYPE, "None", "Serial", nullptr, "IO.Type", "Serial"},
    {SETUP, IDC_SETUP_MODE, "Automatic (managed by the driver)", nullptr, nullptr, nullptr, nullptr},
    {SETUP, IDC_SETUP_TIMEOUT, "0", "1500", L"2500", "IO.TimeoutMs", "2500"},
    {SETUP, IDC_SETUP_RECOVER_PERIOD, "60", nullptr, nullptr, nullptr, nullptr},
    {SETUP, IDC_SETUP_GIVE_UP_TRIES, "1", nullptr, nullptr, nullptr, nullptr},
    {SETUP, IDC_SETUP_LOG_FILE, nullptr, "C:\\logs\\q.log", nullptr, nullptr, nullptr},
    {SERIAL, IDC_SERIAL_PORT, "", "COM3", L"com12", "IO.Serial.Port", "12"},
    {SERIAL, IDC_SERIAL_BAUD, "", "19200", nullptr, nullptr, nullptr},
    {SERIAL, IDC_SERIAL_DATA_BITS, nullptr, "7 data bits", nullptr, nullptr, nullptr},
    {SERIAL, IDC_SERIAL_PARITY, "None", "Even", nullptr, "IO.Serial.Parity", "1"},  // Odd, chosen below
    {SERIAL, IDC_SERIAL_STOP_BITS, "1 stop bit", "2 stop bits", nullptr, "IO.Serial.StopBits", "2"},
    {ETHERNET, IDC_ETH_TRANSPORT, "TCP/IP", "UDP/IP", nullptr, "IO.Ethernet.Transport", "UDP"},
    {ETHERNET, IDC_ETH_MAIN_IP, nullptr, "127.0.0.1", nullptr, nullptr, nullptr},
    // Disabled (IO.Type is serial): the stored value is kept.
    {ETHERNET, IDC_ETH_MAIN_PORT, nullptr, nullptr, L"5020", "IO.Ethernet.MainPort", "I502"},
    {ETHERNET, IDC_ETH_PING_TIMEOUT, "4000", "900", nullptr, nullptr, nullptr},
    {ETHERNET, IDC_ETH_PING_TRIES, "1", nullptr, nullptr, nullptr, nullptr},
    {ETHERNET, IDC_ETH_LOCAL_IP_LIST, "(All Interfaces)", nullptr, nullptr, nullptr, nullptr},
    // Not an installed modem (telephony has none here): stored as it was.
    {MODEM, IDC_MODEM_LIST, "(default modem)", nullptr, nullptr, "IO.TAPI.ModemID", "I77"},
    {MODEM, IDC_MODEM_NUMBER, nullptr, "5551234", L"777", "IO.TAPI.PhoneNumber", "777"},
    {RAS, IDC_RAS_TIMEOUT, "0", nullptr, L"30", "IO.RAS.CommandTimeoutSec", "I45"},
    {RAS, IDC_RAS_COMMAND, nullptr, "ATDT123", nullptr, nullptr, nullptr},
};

// Every page on an empty store (Cancel then writes nothing) and on stored
// values (edits then survive OK).
TEST_F(SheetTest, EveryPageShowsItsStoreAndKeepsEditsOnlyOnOk) {
    for (bool full : {false, true}) {
        auto sheet = Open(full ? Full() : Bare());
        const unsigned before = hvGetCount(settings_.get());
        for (int page = SCRIPT; page <= RAS; ++page) sheet->Show(page);
        for (const Field &field : kFields) {
            const char *text = full ? field.full : field.bare;
            if (text) {
                EXPECT_EQ(sheet->Text(field.page, field.id), text) << "control " << field.id;
            }
        }
        if (!full) {
            EXPECT_FALSE(IsWindowVisible(sheet->Control(SETUP, IDC_SETUP_DEBUG)));
            EXPECT_EQ(sheet->Selection(SERIAL, IDC_SERIAL_DATA_BITS), CB_ERR);
            EXPECT_FALSE(sheet->Checked(ETHERNET, IDC_ETH_LOCAL_IP));
            EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
            EXPECT_EQ(hvGetCount(settings_.get()), before);
            continue;
        }
        EXPECT_EQ(sheet->Selection(SETUP, IDC_SETUP_MODE), 1);
        EXPECT_EQ(sheet->Selection(MODEM, IDC_MODEM_LIST), CB_ERR);
        for (const Field &field : kFields) {
            if (field.typed) sheet->Type(field.page, field.id, field.typed);
        }
        sheet->Choose(SERIAL, IDC_SERIAL_PARITY, 2);
        EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
        for (const Field &field : kFields) {
            if (field.name) {
                EXPECT_EQ(Value(field.name), field.stored) << field.name;
            }
        }
    }
}

TEST_F(SheetTest, CancelDiscardsEditsOfEveryPageThroughTheExport) {
    HValue settings = Full().Make();
    library_.setSettingsHandle(settings.get());
    std::unique_ptr<Sheet> sheet;
    sheet = std::make_unique<Sheet>([this] { return library_.driverDialog(nullptr) == 1 ? S_OK : E_FAIL; });
    for (int page = SCRIPT; page <= RAS; ++page) sheet->Show(page);
    sheet->Type(SCRIPT, IDC_SCRIPT_TEXT, L"' lost");
    sheet->Type(SERIAL, IDC_SERIAL_PORT, L"COM9");
    sheet->Type(RAS, IDC_RAS_COMMAND, L"ATZ");
    sheet->Show(SETUP);  // stores the RAS page into the driver's store
    EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
    EXPECT_EQ(Stored(settings.get(), "IO.Serial.Port"), "I3");
    EXPECT_EQ(Stored(settings.get(), "IO.RAS.ATCommand"), "ATDT123");
    // The driver's store was reloaded: a second sheet shows the old values.
    sheet = std::make_unique<Sheet>([this] { return library_.driverDialog(nullptr) == 1 ? S_OK : E_FAIL; });
    sheet->Show(RAS);
    EXPECT_EQ(sheet->Text(RAS, IDC_RAS_COMMAND), "ATDT123");
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Stored(settings.get(), "VBScript.Code"), "Sub OnRead(Request, Value)\r\nEnd Sub");
}

// Controls that follow others on their page: on a page, clicks (index -1)
// and choices made in turn, then the controls enabled and disabled.
struct Step {
    int page;
    std::vector<std::pair<int, int>> actions;
    std::vector<int> enabled, disabled;
};
const Step kDependentControls[] = {
    // Serial handshaking: RTS toggle and wait-for-CTS.
    {SETUP, {{IDC_SETUP_TYPE, 1}}, {}, {}},
    {SERIAL, {}, {}, {IDC_SERIAL_WAIT_CTS}},
    {SERIAL, {{IDC_SERIAL_RTS, 2}},
     {IDC_SERIAL_WAIT_CTS, IDC_SERIAL_DELAY_BEFORE, IDC_SERIAL_DELAY_AFTER_LABEL, IDC_SERIAL_DELAY_BEFORE_UNIT},
     {IDC_SERIAL_CTS_TIMEOUT}},
    {SERIAL, {{IDC_SERIAL_WAIT_CTS, -1}}, {IDC_SERIAL_CTS_TIMEOUT, IDC_SERIAL_CTS_LABEL, IDC_SERIAL_CTS_UNIT},
     {IDC_SERIAL_DELAY_BEFORE, IDC_SERIAL_DELAY_AFTER, IDC_SERIAL_DELAY_AFTER_UNIT}},
    // Ethernet: listening against connecting, backup, ping, local ports.
    {SETUP, {{IDC_SETUP_TYPE, 4}}, {}, {}},
    {ETHERNET, {}, {}, {IDC_ETH_BACKUP_IP, IDC_ETH_PING_GROUP, IDC_ETH_MAIN_LOCAL_PORT}},
    {ETHERNET, {{IDC_ETH_BACKUP, -1}, {IDC_ETH_PING, -1}, {IDC_ETH_MAIN_LOCAL, -1}},
     {IDC_ETH_BACKUP_GROUP, IDC_ETH_BACKUP_IP, IDC_ETH_BACKUP_PORT_LABEL, IDC_ETH_BACKUP_LOCAL, IDC_ETH_PING_GROUP,
      IDC_ETH_PING_TIMEOUT, IDC_ETH_PING_TRIES_LABEL, IDC_ETH_MAIN_LOCAL_PORT},
     {IDC_ETH_BACKUP_LOCAL_PORT, IDC_ETH_LISTEN_PORT}},
    {ETHERNET, {{IDC_ETH_LISTEN, -1}}, {IDC_ETH_LISTEN_PORT, IDC_ETH_SHARE, IDC_ETH_LOCAL_IP},
     {IDC_ETH_MAIN_GROUP, IDC_ETH_MAIN_IP, IDC_ETH_BACKUP, IDC_ETH_BACKUP_IP, IDC_ETH_PING, IDC_ETH_PING_TIMEOUT,
      IDC_ETH_LOCAL_IP_LIST}},
    {ETHERNET, {{IDC_ETH_LOCAL_IP, -1}}, {IDC_ETH_LOCAL_IP_LIST}, {}},
    // Setup: manual mode, retry, give up, log, inactivity.
    {SETUP, {}, {}, {IDC_SETUP_RECOVER_PERIOD}},
    {SETUP, {{IDC_SETUP_RECOVER, -1}}, {IDC_SETUP_RECOVER_PERIOD, IDC_SETUP_RECOVER_LABEL, IDC_SETUP_GIVE_UP},
     {IDC_SETUP_GIVE_UP_TRIES}},
    {SETUP, {{IDC_SETUP_GIVE_UP, -1}}, {IDC_SETUP_GIVE_UP_TRIES, IDC_SETUP_GIVE_UP_LABEL}, {}},
    {SETUP, {{IDC_SETUP_MODE, 1}}, {},
     {IDC_SETUP_RECOVER, IDC_SETUP_RECOVER_PERIOD, IDC_SETUP_GIVE_UP, IDC_SETUP_GIVE_UP_TRIES, IDC_SETUP_LOG_FILE}},
    {SETUP, {{IDC_SETUP_LOG, -1}}, {IDC_SETUP_LOG_FILE, IDC_SETUP_INACTIVITY}, {IDC_SETUP_INACTIVITY_LABEL}},
    {SETUP, {{IDC_SETUP_INACTIVITY, -1}}, {IDC_SETUP_INACTIVITY_PERIOD}, {}},
};

TEST_F(SheetTest, LinkTypeDecidesWhichControlsOfTheLinkPagesAreEnabled) {
    auto sheet = Open(Bare());
    const std::vector<int> serialOnly = {IDC_SERIAL_PORT, IDC_SERIAL_BAUD, IDC_SERIAL_DATA_BITS, IDC_SERIAL_PARITY,
                                         IDC_SERIAL_STOP_BITS, IDC_SERIAL_HANDSHAKING, IDC_SERIAL_DTR, IDC_SERIAL_RTS,
                                         IDC_SERIAL_DTR_LABEL, IDC_SERIAL_RTS_LABEL, IDC_SERIAL_PORT_LABEL};
    const char *types[] = {"None", "Serial", "Ethernet", "Modem", "RAS"};
    for (int type = 0; type < 5; ++type) {
        SCOPED_TRACE(types[type]);
        sheet->Show(SETUP);
        sheet->Choose(SETUP, IDC_SETUP_TYPE, type);
        for (int page = SERIAL; page <= RAS; ++page) sheet->Show(page);
        for (int id : serialOnly) EXPECT_EQ(sheet->Enabled(SERIAL, id), type == 1) << id;
        EXPECT_EQ(sheet->Enabled(SERIAL, IDC_SERIAL_INTERBYTE), type == 1 || type == 3);
        EXPECT_EQ(sheet->Enabled(SERIAL, IDC_SERIAL_INTERBYTE_LABEL), type == 1 || type == 3);
        EXPECT_TRUE(sheet->Enabled(SERIAL, IDC_SERIAL_INTERFRAME));
        EXPECT_TRUE(sheet->Enabled(SERIAL, IDC_SERIAL_ECHO));
        for (int id : {IDC_ETH_TRANSPORT, IDC_ETH_TRANSPORT_LABEL, IDC_ETH_IPV6, IDC_ETH_LISTEN, IDC_ETH_MAIN_IP,
                       IDC_ETH_MAIN_PORT, IDC_ETH_MAIN_LOCAL, IDC_ETH_BACKUP, IDC_ETH_PING})
            EXPECT_EQ(sheet->Enabled(ETHERNET, id), type == 2 || type == 4) << id;
        for (int id : {IDC_MODEM_LIST, IDC_MODEM_NUMBER, IDC_MODEM_ACCEPT, IDC_MODEM_SETTINGS, IDC_MODEM_LIST_LABEL})
            EXPECT_EQ(sheet->Enabled(MODEM, id), type == 3) << id;
        for (int id : {IDC_RAS_COMMAND, IDC_RAS_TIMEOUT, IDC_RAS_COMMAND_LABEL})
            EXPECT_EQ(sheet->Enabled(RAS, id), type == 4) << id;
    }
    for (const Step &step : kDependentControls) {
        if (sheet->Current() != sheet->Page(step.page)) sheet->Show(step.page);
        for (const auto &[id, index] : step.actions) {
            if (index < 0) sheet->Click(step.page, id);
            else sheet->Choose(step.page, id, index);
        }
        for (int id : step.enabled) EXPECT_TRUE(sheet->Enabled(step.page, id)) << id;
        for (int id : step.disabled) EXPECT_FALSE(sheet->Enabled(step.page, id)) << id;
    }
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.ConnectionMode"), "1");
    EXPECT_EQ(Value("IO.Type"), "RAS");
    EXPECT_EQ(Value("IO.Ethernet.BackupEnable"), "I1");
}

TEST_F(SheetTest, StartOfflineIsConfirmedAndNoClearsIt) {
    auto sheet = Open(Bare());
    sheet->Show(SETUP);
    sheet->PostClick(SETUP, IDC_SETUP_START_OFFLINE);
    EXPECT_EQ(sheet->Answer(TITLE, IDNO),
              "You configured the driver to start OFFLINE. This means the driver will not perform any I/O unless you "
              "explicitly set it ONLINE (write 1 to tag N1=-1; N2=0; N3=0; N4=4).\n\nAre you sure you want the "
              "driver to start OFFLINE?");
    EXPECT_FALSE(sheet->Checked(SETUP, IDC_SETUP_START_OFFLINE));
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.StartOffline"), "I0");

    sheet = Open(Bare());
    sheet->Show(SETUP);
    sheet->PostClick(SETUP, IDC_SETUP_START_OFFLINE);
    sheet->Answer(TITLE, IDYES);
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.StartOffline"), "I1");

    // No takes back the box only: edits the page could not store stay.
    sheet = Open(Bare());
    sheet->Show(SETUP);
    sheet->Choose(SETUP, IDC_SETUP_TYPE, 2);
    sheet->Type(SETUP, IDC_SETUP_TIMEOUT, L"25x");
    sheet->PostClick(SETUP, IDC_SETUP_START_OFFLINE);
    EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Timeout: enter a whole number between 0 and 4294967295.");
    sheet->Answer(TITLE, IDNO);
    EXPECT_FALSE(sheet->Checked(SETUP, IDC_SETUP_START_OFFLINE));
    EXPECT_EQ(sheet->Text(SETUP, IDC_SETUP_TYPE), "Ethernet");
    EXPECT_EQ(sheet->Text(SETUP, IDC_SETUP_TIMEOUT), "25x");
    sheet->Type(SETUP, IDC_SETUP_TIMEOUT, L"25");
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.StartOffline"), "I0");
    EXPECT_EQ(Value("IO.Type"), "Ethernet");
    EXPECT_EQ(Value("IO.TimeoutMs"), "25");
}

TEST_F(SheetTest, BadNumbersKeepThePageOpenAndWriteNothingOfIt) {
    auto sheet = Open(Full());
    // The time limit of a script call: also the check waits for it.
    sheet->Type(SCRIPT, IDC_SCRIPT_TIME_LIMIT, L"86401");
    sheet->PostClick(SCRIPT, IDC_SCRIPT_CHECK);
    EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Enter an integer between 0 and 86400.");
    sheet->PostShow(SETUP);
    EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Enter an integer between 0 and 86400.");
    EXPECT_EQ(sheet->Current(), sheet->Page(SCRIPT));
    sheet->Type(SCRIPT, IDC_SCRIPT_TIME_LIMIT, L"86400");
    sheet->Show(SETUP);
    sheet->Type(SETUP, IDC_SETUP_LOG_FILE, L"C:\\other.log");
    const struct {
        const wchar_t *text;
    } bad[] = {{L"abc"}, {L"-5"}, {L"4294967296"}, {L""}};
    for (const auto &input : bad) {
        sheet->Type(SETUP, IDC_SETUP_TIMEOUT, input.text);
        sheet->PostShow(SERIAL);
        EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Timeout: enter a whole number between 0 and 4294967295.");
        EXPECT_EQ(sheet->Current(), sheet->Page(SETUP));
    }
    sheet->Type(SETUP, IDC_SETUP_TIMEOUT, L"4294967295");
    sheet->Show(SERIAL);
    EXPECT_EQ(sheet->Current(), sheet->Page(SERIAL));
    sheet->Type(SERIAL, IDC_SERIAL_INTERBYTE, L"100001");
    sheet->Type(SERIAL, IDC_SERIAL_BAUD, L"9600");
    PostMessageW(sheet->Window(), PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Enter an integer between 0 and 100000.");
    EXPECT_EQ(Value("IO.Serial.Baudrate"), "I19200");
    EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
    EXPECT_EQ(Value("IO.TimeoutMs"), "I1500");
    EXPECT_EQ(Value("IO.Log.Filename"), "C:\\logs\\q.log");
}

// A stored value that a disabled field cannot hold (a control tag may write
// any number) neither traps the user on its page nor is overwritten.
TEST_F(SheetTest, DisabledFieldsAreNotCheckedAndKeepTheirStoredValues) {
    auto sheet = Open(Settings().String("IO.Type", "Ethernet").Int("IO.Serial.InterbyteDelayUs", 200000)
                          .Int("IO.Serial.CTSTimeoutMs", 7));
    sheet->Show(SERIAL);
    ASSERT_FALSE(sheet->Enabled(SERIAL, IDC_SERIAL_INTERBYTE));
    EXPECT_EQ(sheet->Text(SERIAL, IDC_SERIAL_INTERBYTE), "200000");
    sheet->PostShow(ETHERNET);
    ASSERT_TRUE(WaitFor([&] { return sheet->Current() == sheet->Page(ETHERNET); }, 10000)) << "kept on the Serial page";
    sheet->Show(SERIAL);
    PostMessageW(sheet->Window(), PSM_PRESSBUTTON, PSBTN_OK, 0);
    HWND window = sheet->Window();
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(window); }, 10000)) << "OK refused";
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.Serial.InterbyteDelayUs"), "I200000");
    EXPECT_EQ(Value("IO.Serial.CTSTimeoutMs"), "I7");
    EXPECT_EQ(Value("IO.Serial.InterframeDelayMs"), "0");  // enabled, so written
}

TEST_F(SheetTest, ValuesOfTheWrongTypeShowDefaultsAndAreWrittenReadably) {
    auto sheet = Open(Settings().String("IO.TimeoutMs", "soon").String("IO.Serial.Parity", "odd")
                          .Int("IO.Type", 2).Int("VBScript.Code", 5).Int("IO.Serial.StopBits", 9));
    for (int page = SCRIPT; page <= SERIAL; ++page) sheet->Show(page);
    EXPECT_EQ(sheet->Text(SCRIPT, IDC_SCRIPT_TEXT), "");
    EXPECT_EQ(sheet->Text(SETUP, IDC_SETUP_TIMEOUT), "0");
    EXPECT_EQ(sheet->Text(SETUP, IDC_SETUP_TYPE), "None");
    EXPECT_EQ(sheet->Text(SERIAL, IDC_SERIAL_PARITY), "None");
    EXPECT_EQ(sheet->Selection(SERIAL, IDC_SERIAL_STOP_BITS), CB_ERR);
    sheet->Type(SERIAL, IDC_SERIAL_PORT, L"7");  // not a port name
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.Serial.Port"), "<absent>");
    EXPECT_EQ(Value("IO.TimeoutMs"), "0");
    EXPECT_EQ(Value("IO.Type"), "None");
    EXPECT_EQ(Value("VBScript.Code"), "");
    EXPECT_EQ(Value("IO.Serial.StopBits"), "I9");  // not written back
}

TEST_F(SheetTest, ScriptCheckReportsTheFirstErrorAndSelectsItsLine) {
    auto sheet = Open(Settings().String("VBScript.Code", "Dim a\r\nDim b\r\na = )\r\nDim c\r\n"));
    HWND edit = sheet->Control(SCRIPT, IDC_SCRIPT_TEXT);
    sheet->PostClick(SCRIPT, IDC_SCRIPT_CHECK);
    // Wine's engine gives syntax errors no description.
    EXPECT_EQ(sheet->Answer("Verify Script", IDOK), "Error compiling script:\r\nLine 3, Col 5: !");
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 14u);
    EXPECT_EQ(end, 21u);
    GUITHREADINFO focus = {sizeof focus};
    EXPECT_TRUE(WaitFor([&] {
        return GetGUIThreadInfo(GetWindowThreadProcessId(edit, nullptr), &focus) && focus.hwndFocus == edit;
    }));

    sheet->Type(SCRIPT, IDC_SCRIPT_TEXT, L"");
    sheet->PostClick(SCRIPT, IDC_SCRIPT_CHECK);
    EXPECT_EQ(sheet->Answer("Verify Script", IDOK), "No errors found");
    // Global code is compiled, never run.
    sheet->Type(SCRIPT, IDC_SCRIPT_TEXT, L"Call NoSuchProcedure()\r\nx = 1 / 0");
    sheet->PostClick(SCRIPT, IDC_SCRIPT_CHECK);
    EXPECT_EQ(sheet->Answer("Verify Script", IDOK), "No errors found");
    // Return inserts a line instead of closing the sheet.
    SendMessageW(edit, EM_SETSEL, 4, 4);
    PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0);  // the sheet's loop makes the character
    EXPECT_TRUE(WaitFor([&] { return TextOf(edit) == "Call\r\n NoSuchProcedure()\r\nx = 1 / 0"; })) << TextOf(edit);
    EXPECT_TRUE(IsWindow(sheet->Window()));
    // The check stored the text, but Cancel discards it.
    EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
    EXPECT_EQ(Value("VBScript.Code"), "Dim a\r\nDim b\r\na = )\r\nDim c\r\n");
}

// The script opens with the caret at its start, also when the user tabs
// into it, so that no key press replaces it; the code is in a fixed-pitch
// font, the rest of the page in the template's, and that font goes with the
// page.
TEST_F(SheetTest, ScriptOpensWithTheCaretAtItsStartInAFixedPitchFont) {
    auto sheet = Open(Settings().String("VBScript.Code", "Sub OnRead(Request, Value)\r\nEnd Sub"));
    HWND page = sheet->Page(SCRIPT), edit = sheet->Control(SCRIPT, IDC_SCRIPT_TEXT);
    auto selection = [&] {
        DWORD start = 99, end = 99;
        SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        return std::make_pair(start, end);
    };
    EXPECT_EQ(selection(), std::make_pair(DWORD(0), DWORD(0)));
    sheet->Show(SETUP);
    sheet->Show(SCRIPT);
    EXPECT_EQ(selection(), std::make_pair(DWORD(0), DWORD(0)));
    SendMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);  // as a Tab into it does
    EXPECT_EQ(selection(), std::make_pair(DWORD(0), DWORD(0)));

    const auto font = [](HWND window) { return reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)); };
    HFONT code = font(edit);
    ASSERT_NE(code, nullptr);
    EXPECT_NE(code, font(page));
    EXPECT_EQ(font(sheet->Control(SCRIPT, IDC_SCRIPT_CHECK)), font(page));
    HDC dc = GetDC(nullptr);
    auto width = [&](HFONT chosen, const wchar_t *text) {
        HGDIOBJ old = SelectObject(dc, chosen);
        SIZE size = {};
        GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
        SelectObject(dc, old);
        return size.cx;
    };
    EXPECT_EQ(width(code, L"iiiiiiii"), width(code, L"MMMMMMMM"));
    EXPECT_NE(width(font(page), L"iiiiiiii"), width(font(page), L"MMMMMMMM"));
    ReleaseDC(nullptr, dc);
    EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
    EXPECT_EQ(GetObjectType(code), 0u);
}

TEST_F(SheetTest, LongAndNonAnsiScriptsAreStoredAsTheCodePageHoldsThem) {
    std::string longScript(1000000 - 2, '\'');
    longScript += "\r\n";
    auto sheet = Open(Settings().String("VBScript.Code", longScript));
    HWND edit = sheet->Control(SCRIPT, IDC_SCRIPT_TEXT);
    EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), 1000000);
    EXPECT_EQ(GetWindowTextLengthW(edit), 1000000);
    SendMessageW(edit, EM_SETSEL, 0, 0);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"more"));  // beyond the limit
    EXPECT_EQ(GetWindowTextLengthW(edit), 1000000);
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("VBScript.Code"), longScript);

    sheet = Open(Bare());
    sheet->Type(SCRIPT, IDC_SCRIPT_TEXT, L"' caf\x00e9 \x4e2d\x6587");
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    char expected[64];
    WideCharToMultiByte(CP_ACP, 0, L"' caf\x00e9 \x4e2d\x6587", -1, expected, sizeof expected, nullptr, nullptr);
    EXPECT_EQ(Value("VBScript.Code"), expected);
    EXPECT_NE(Value("VBScript.Code").find('?'), std::string::npos);
}

// The script engine reads the store in the code page of the thread that
// runs it; the pages write and show it in their own thread's.
TEST_F(SheetTest, TextFollowsTheDialogThreadsCodePage) {
    const LCID russian = MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT);
    const std::string stored = "' \xCF\xF0\xE8\xE2\xE5\xF2";  // "Привет" in code page 1251
    auto sheet = Open(Settings().String("VBScript.Code", stored).String("IO.Log.Filename", "C:\\x"), russian);
    wchar_t shown[64] = L"";
    GetWindowTextW(sheet->Control(SCRIPT, IDC_SCRIPT_TEXT), shown, 64);
    EXPECT_EQ(std::wstring(shown), L"' \x041f\x0440\x0438\x0432\x0435\x0442");
    sheet->Show(SETUP);
    sheet->Type(SETUP, IDC_SETUP_LOG_FILE, L"C:\\\x0436\x0443\x0440\x043d\x0430\x043b.log");  // журнал
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("VBScript.Code"), stored);
    EXPECT_EQ(Value("IO.Log.Filename"), "C:\\\xE6\xF3\xF0\xED\xE0\xEB.log");
}

TEST_F(SheetTest, LocalAddressListFollowsTheFamilyAndStoresItsChoice) {
    auto sheet = Open(Settings().String("IO.Type", "Ethernet").Int("IO.Ethernet.AcceptConnection", 1));
    sheet->Show(ETHERNET);
    HWND list = sheet->Control(ETHERNET, IDC_ETH_LOCAL_IP_LIST);
    auto items = [&] {
        std::vector<std::string> texts;
        for (int i = 0; i < SendMessageW(list, CB_GETCOUNT, 0, 0); ++i) {
            char text[128] = "";
            SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            texts.push_back(text);
        }
        return texts;
    };
    std::vector<std::string> v4 = items();
    ASSERT_GE(v4.size(), 2u);
    EXPECT_EQ(v4[0], "(All Interfaces)");
    for (size_t i = 1; i < v4.size(); ++i) EXPECT_EQ(v4[i].find(':'), std::string::npos) << v4[i];
    sheet->Click(ETHERNET, IDC_ETH_LOCAL_IP);
    sheet->Choose(ETHERNET, IDC_ETH_LOCAL_IP_LIST, 1);
    sheet->Click(ETHERNET, IDC_ETH_IPV6);
    std::vector<std::string> v6 = items();
    for (size_t i = 1; i < v6.size(); ++i) EXPECT_NE(v6[i].find(':'), std::string::npos) << v6[i];
    EXPECT_EQ(sheet->Selection(ETHERNET, IDC_ETH_LOCAL_IP_LIST), v6.size() > 1 ? 1 : 0);
    sheet->Click(ETHERNET, IDC_ETH_IPV6);
    sheet->Choose(ETHERNET, IDC_ETH_LOCAL_IP_LIST, 1);
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.Ethernet.ListenIP"), v4[1]);
    EXPECT_EQ(Value("IO.Ethernet.UseIPv6"), "I0");

    sheet = Open(Settings().String("IO.Type", "Ethernet").String("IO.Ethernet.ListenIP", v4[1]));
    sheet->Show(ETHERNET);
    EXPECT_TRUE(sheet->Checked(ETHERNET, IDC_ETH_LOCAL_IP));
    EXPECT_EQ(sheet->Text(ETHERNET, IDC_ETH_LOCAL_IP_LIST), v4[1]);
    sheet->Choose(ETHERNET, IDC_ETH_LOCAL_IP_LIST, 0);
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.Ethernet.ListenIP"), "");
}

TEST_F(SheetTest, ModemListIsFilledWhenOpenedAndSettingsFailureIsShown) {
    auto sheet = Open(Settings().String("IO.Type", "Modem"));
    sheet->Show(MODEM);
    HWND list = sheet->Control(MODEM, IDC_MODEM_LIST);
    SendMessageW(sheet->Page(MODEM), WM_COMMAND, MAKEWPARAM(IDC_MODEM_LIST, CBN_DROPDOWN), reinterpret_cast<LPARAM>(list));
    EXPECT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 1);  // Wine's telephony has no modems
    EXPECT_EQ(sheet->Text(MODEM, IDC_MODEM_LIST), "(default modem)");
    sheet->PostClick(MODEM, IDC_MODEM_SETTINGS);
    EXPECT_EQ(sheet->Answer(TITLE, IDOK), "Failed to open modem settings dialog!");
    EXPECT_EQ(sheet->Close(PSBTN_OK), S_OK);
    EXPECT_EQ(Value("IO.TAPI.ModemID"), "0");
}

TEST_F(SheetTest, ParentThatIsNotAWindowShowsNoSheet) {
    HValue settings = Full().Make();
    ASSERT_EQ(Instance()->SetSettingsHandle(settings.get()), S_OK);
    EXPECT_EQ(Instance()->DriverDialog(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4321))), E_INVALIDARG);
    EXPECT_EQ(FindDialog(CAPTION), nullptr);
    library_.setSettingsHandle(settings.get());
    EXPECT_EQ(library_.driverDialog(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4321))), -1);
    EXPECT_EQ(Stored(settings.get(), "IO.Serial.Port"), "I3");
    // Without settings the edits would have nowhere to go.
    IIODriverInstance *unset = nullptr;
    ASSERT_EQ(library_.createDriverInstance(nullptr, &unset), 1);
    EXPECT_EQ(unset->DriverDialog(nullptr), E_FAIL);
    unset->Release();
    EXPECT_EQ(FindDialog(CAPTION), nullptr);
}

// One picture of each page, on a configuration that enables it.
TEST_F(SheetTest, Pictures) {
    auto sheet = Open(Settings().String("VBScript.Code", "Sub OnRead(Request, Value)\r\n    Value.Value = 42\r\nEnd Sub\r\n")
                          .String("IO.Type", "Serial").Int("IO.Serial.Port", 1).Int("IO.Serial.Baudrate", 9600)
                          .Int("IO.Serial.DataBits", 8).Int("IO.RecoverEnable", 1).Int("IO.RecoverPeriodSec", 20)
                          .Int("IO.TimeoutMs", 1000).String("IO.Ethernet.MainIP", "127.0.0.1")
                          .Int("IO.Ethernet.MainPort", 502).String("IO.RAS.ATCommand", "ATDT5551234"));
    sheet->Picture("page-script");
    sheet->Show(SETUP);
    sheet->Picture("page-setup");
    sheet->Show(SERIAL);
    sheet->Picture("page-serial");
    const int types[] = {2, 3, 4};
    for (int i = 0; i < 3; ++i) {
        sheet->Show(SETUP);
        sheet->Choose(SETUP, IDC_SETUP_TYPE, types[i]);
        sheet->Show(ETHERNET + i);
        sheet->Picture(i == 0 ? "page-ethernet" : i == 1 ? "page-modem" : "page-ras");
    }
    EXPECT_EQ(sheet->Close(PSBTN_CANCEL), E_FAIL);
}

PROCESS_INFORMATION StartHost(const std::string &commandLine) {
    std::string command = commandLine;
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    return process;
}

DWORD Finished(PROCESS_INFORMATION &process) {
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

// The script check where no engine can be made: a copy of the host program
// for which Wine's VBScript is disabled (in the prefix of these tests only).
TEST(Configure, ScriptCheckWithoutAnEngineSaysSo) {
    ScratchDir scratch;
    const std::string config = scratch.File("plain.ini"), host = scratch.File("noengine.exe");
    WriteWholeFile(config, "[Parameters]\nIO.Type = STR None\n");
    ASSERT_TRUE(CopyFileA("quillonhost.exe", host.c_str(), FALSE));
    const char key[] = "Software\\Wine\\AppDefaults\\noengine.exe\\DllOverrides";
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key, "vbscript", REG_SZ, "d", 2), ERROR_SUCCESS);
    char driver[MAX_PATH];
    GetFullPathNameA("Quillon.dll", MAX_PATH, driver, nullptr);
    PROCESS_INFORMATION process = StartHost("\"" + host + "\" --driver \"" + driver + "\" configure \"" + config + "\"");
    HWND sheet = nullptr, box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (sheet = FindDialog(CAPTION, nullptr, process.dwProcessId)) != nullptr; }));
    HWND page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    PostMessageW(GetDlgItem(page, IDC_SCRIPT_CHECK), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return (box = FindDialog("Verify Script", nullptr, process.dwProcessId)) != nullptr; }));
    EXPECT_EQ(TextOf(GetDlgItem(box, 0xFFFF)), "ERROR: Failed to create VBScriptEngine object");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box); }));
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_EQ(Finished(process), 1u);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\noengine.exe");
}

// quillonhost configure: the sheet of another process, the file written
// only on OK.
TEST(Configure, WritesTheFileBackOnlyOnOk) {
    ScratchDir scratch;
    const std::string config = scratch.File("device.ini"), script = scratch.File("device.vbs");
    const std::string original = "[Parameters]\nIO.Type = STR Ethernet\nIO.Ethernet.MainPort = U32 502\n\n[Script]\nFile = device.vbs\n";
    WriteWholeFile(config, original);
    WriteWholeFile(script, "' device\r\n");
    for (int button : {PSBTN_CANCEL, PSBTN_OK}) {
        PROCESS_INFORMATION process = StartHost("quillonhost.exe configure \"" + config + "\"");
        HWND sheet = nullptr;
        ASSERT_TRUE(WaitFor([&] { return (sheet = FindDialog(CAPTION, nullptr, process.dwProcessId)) != nullptr; }));
        SendMessageW(sheet, PSM_SETCURSEL, ETHERNET, 0);
        HWND page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
        SendMessageW(GetDlgItem(page, IDC_ETH_MAIN_PORT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"1502"));
        PostMessageW(sheet, PSM_PRESSBUTTON, button, 0);
        const DWORD code = Finished(process);
        const std::string written = ReadWholeFile(config);
        if (button == PSBTN_CANCEL) {
            EXPECT_EQ(code, 1u);
            EXPECT_EQ(written, original);
        } else {
            EXPECT_EQ(code, 0u);
            EXPECT_NE(written.find("IO.Ethernet.MainPort = U32 1502\n"), std::string::npos) << written;
            EXPECT_NE(written.find("IO.Type = STR \"Ethernet\"\n"), std::string::npos) << written;
            EXPECT_NE(written.find("[Script]\nFile = device.vbs\n"), std::string::npos) << written;
            EXPECT_EQ(written.find("VBScript.Code"), std::string::npos);
            EXPECT_EQ(ReadWholeFile(script), "' device\r\n");
        }
    }
}

} // namespace

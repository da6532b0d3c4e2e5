#include "ui/SerialPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "ui/SettingsResource.h"

#include <cstdlib>

namespace quillon {
namespace {

// Stored parity codes by item (None, Even, Odd, Mark, Space).
const uint32_t PARITY_CODES[] = {0, 2, 1, 3, 4};
const int RTS_TOGGLE = 2;

// The number of leading decimal digits, 0 when there are none; larger
// numbers than 32 bits hold are cut to the largest.
uint32_t LeadingNumber(const char *text) {
    unsigned long long number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        number = number * 10 + static_cast<unsigned>(*text - '0');
        if (number > 0xFFFFFFFFull) return 0xFFFFFFFF;
    }
    return static_cast<uint32_t>(number);
}

} // namespace

CSerialPage::CSerialPage(CConfigData &config) : CPropertyPage(IDD_SERIAL_PAGE, config) {}

void CSerialPage::Initialise() {
    FillCombo(IDC_SERIAL_PORT, IDS_ITEMS_SERIAL_PORT);
    FillCombo(IDC_SERIAL_BAUD, IDS_ITEMS_BAUD_RATE);
    FillCombo(IDC_SERIAL_DATA_BITS, IDS_ITEMS_DATA_BITS);
    FillCombo(IDC_SERIAL_PARITY, IDS_ITEMS_PARITY);
    FillCombo(IDC_SERIAL_STOP_BITS, IDS_ITEMS_STOP_BITS);
    FillCombo(IDC_SERIAL_DTR, IDS_ITEMS_DTR);
    FillCombo(IDC_SERIAL_RTS, IDS_ITEMS_RTS);
}

void CSerialPage::Load() {
    const CConfigData &config = Config();
    const uint32_t port = config.GetU32(param::SerialPort, 0);
    SetText(IDC_SERIAL_PORT, port ? "COM" + std::to_string(port) : std::string());
    const uint32_t baud = config.GetU32(param::SerialBaudrate, 0);
    SetText(IDC_SERIAL_BAUD, baud ? std::to_string(baud) : std::string());
    const uint32_t dataBits = config.GetU32(param::SerialDataBits, 0);
    Select(IDC_SERIAL_DATA_BITS, dataBits == 7 ? 0 : dataBits == 8 ? 1 : -1);
    const uint32_t parity = config.GetU32(param::SerialParity, 0);
    int parityIndex = -1;
    for (int i = 0; i < 5; ++i)
        if (PARITY_CODES[i] == parity) parityIndex = i;
    Select(IDC_SERIAL_PARITY, parityIndex);
    const uint32_t stopBits = config.GetU32(param::SerialStopBits, 0);
    Select(IDC_SERIAL_STOP_BITS, stopBits <= 2 ? static_cast<int>(stopBits) : -1);
    const int32_t dtr = config.GetI32(param::SerialDTR, 0);
    Select(IDC_SERIAL_DTR, dtr >= 0 && dtr <= 1 ? dtr : -1);
    const int32_t rts = config.GetI32(param::SerialRTS, 0);
    Select(IDC_SERIAL_RTS, rts >= 0 && rts <= 2 ? rts : -1);
    SetChecked(IDC_SERIAL_WAIT_CTS, config.GetI32(param::SerialWaitCTS, 0) != 0);
    SetUnsigned(IDC_SERIAL_CTS_TIMEOUT, config.GetU32(param::SerialCTSTimeoutMs, 0));
    SetUnsigned(IDC_SERIAL_DELAY_BEFORE, config.GetU32(param::SerialDelayBeforeMs, 0));
    SetUnsigned(IDC_SERIAL_DELAY_AFTER, config.GetU32(param::SerialDelayAfterMs, 0));
    SetUnsigned(IDC_SERIAL_INTERBYTE, config.GetU32(param::SerialInterbyteDelayUs, 0));
    SetUnsigned(IDC_SERIAL_INTERFRAME, config.GetU32(param::SerialInterframeDelayMs, 0));
    SetChecked(IDC_SERIAL_ECHO, config.GetI32(param::SerialSupressEcho, 0) != 0);
}

bool CSerialPage::Store() {
    std::optional<uint32_t> ctsTimeout, delayBefore, delayAfter, interbyte, interframe;
    if (!ReadUnsigned(IDC_SERIAL_CTS_TIMEOUT, "CTS timeout", 0, 0xFFFFFFFF, ctsTimeout) ||
        !ReadUnsigned(IDC_SERIAL_DELAY_BEFORE, "Delay before send", 0, 0xFFFFFFFF, delayBefore) ||
        !ReadUnsigned(IDC_SERIAL_DELAY_AFTER, "Delay after send", 0, 0xFFFFFFFF, delayAfter) ||
        !ReadUnsigned(IDC_SERIAL_INTERBYTE, "Inter-byte delay", 0, 100000, interbyte) ||
        !ReadUnsigned(IDC_SERIAL_INTERFRAME, "Inter-frame delay", 0, 10000, interframe))
        return false;
    CConfigData &config = Config();
    // Only a port named as such is taken; digits alone leave it unchanged.
    const std::string port = Text(IDC_SERIAL_PORT);
    if (port.size() >= 3 && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, port.c_str(), 3, "COM", 3) == CSTR_EQUAL)
        config.SetU32(param::SerialPort, LeadingNumber(port.c_str() + 3));
    config.SetU32(param::SerialBaudrate, LeadingNumber(Text(IDC_SERIAL_BAUD).c_str()));
    const int dataBits = Selection(IDC_SERIAL_DATA_BITS);
    if (dataBits == 0 || dataBits == 1) config.SetU32(param::SerialDataBits, dataBits == 0 ? 7 : 8);
    const int parity = Selection(IDC_SERIAL_PARITY);
    if (parity >= 0 && parity < 5) config.SetU32(param::SerialParity, PARITY_CODES[parity]);
    const int stopBits = Selection(IDC_SERIAL_STOP_BITS);
    if (stopBits >= 0 && stopBits <= 2) config.SetU32(param::SerialStopBits, static_cast<uint32_t>(stopBits));
    const int dtr = Selection(IDC_SERIAL_DTR);
    if (dtr >= 0) config.SetI32(param::SerialDTR, dtr);
    const int rts = Selection(IDC_SERIAL_RTS);
    if (rts >= 0) config.SetI32(param::SerialRTS, rts);
    config.SetI32(param::SerialWaitCTS, Checked(IDC_SERIAL_WAIT_CTS) ? 1 : 0);
    StoreUnsigned(param::SerialCTSTimeoutMs, ctsTimeout);
    StoreUnsigned(param::SerialDelayBeforeMs, delayBefore);
    StoreUnsigned(param::SerialDelayAfterMs, delayAfter);
    StoreUnsigned(param::SerialInterbyteDelayUs, interbyte);
    StoreUnsigned(param::SerialInterframeDelayMs, interframe);
    config.SetI32(param::SerialSupressEcho, Checked(IDC_SERIAL_ECHO) ? 1 : 0);
    return true;
}

void CSerialPage::UpdateControls() {
    const std::string type = Config().GetString(param::Type, "");
    const bool serial = lstrcmpiA(type.c_str(), "Serial") == 0;
    const bool modem = lstrcmpiA(type.c_str(), "Modem") == 0;
    const bool toggle = Selection(IDC_SERIAL_RTS) == RTS_TOGGLE;
    const bool waitCts = Checked(IDC_SERIAL_WAIT_CTS);
    Enable({IDC_SERIAL_PORT_GROUP, IDC_SERIAL_PORT, IDC_SERIAL_PORT_LABEL, IDC_SERIAL_BAUD, IDC_SERIAL_BAUD_LABEL,
            IDC_SERIAL_DATA_BITS, IDC_SERIAL_DATA_BITS_LABEL, IDC_SERIAL_PARITY, IDC_SERIAL_PARITY_LABEL,
            IDC_SERIAL_STOP_BITS, IDC_SERIAL_STOP_BITS_LABEL, IDC_SERIAL_HANDSHAKING, IDC_SERIAL_DTR,
            IDC_SERIAL_DTR_LABEL, IDC_SERIAL_RTS, IDC_SERIAL_RTS_LABEL},
           serial);
    Enable(IDC_SERIAL_WAIT_CTS, serial && toggle);
    Enable({IDC_SERIAL_CTS_TIMEOUT, IDC_SERIAL_CTS_LABEL, IDC_SERIAL_CTS_UNIT}, serial && toggle && waitCts);
    Enable({IDC_SERIAL_DELAY_BEFORE, IDC_SERIAL_DELAY_BEFORE_LABEL, IDC_SERIAL_DELAY_BEFORE_UNIT,
            IDC_SERIAL_DELAY_AFTER, IDC_SERIAL_DELAY_AFTER_LABEL, IDC_SERIAL_DELAY_AFTER_UNIT},
           serial && toggle && !waitCts);
    Enable({IDC_SERIAL_INTERBYTE, IDC_SERIAL_INTERBYTE_LABEL, IDC_SERIAL_INTERBYTE_UNIT}, serial || modem);
}

bool CSerialPage::OnCommand(int id, int code) {
    if ((id == IDC_SERIAL_WAIT_CTS && code == BN_CLICKED) || (id == IDC_SERIAL_RTS && code == CBN_SELCHANGE)) {
        StoreAndUpdate();
        return true;
    }
    return false;
}

} // namespace quillon

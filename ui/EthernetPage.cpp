#include "ui/EthernetPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "ui/LocalAddresses.h"
#include "ui/SettingsResource.h"

namespace quillon {
namespace {

const char ALL_INTERFACES[] = "(All Interfaces)";

} // namespace

CEthernetPage::CEthernetPage(CConfigData &config) : CPropertyPage(IDD_ETHERNET_PAGE, config) {}

void CEthernetPage::Initialise() { FillCombo(IDC_ETH_TRANSPORT, IDS_ITEMS_TRANSPORT); }

void CEthernetPage::Load() {
    const CConfigData &config = Config();
    Select(IDC_ETH_TRANSPORT, lstrcmpiA(config.GetString(param::EthernetTransport, "").c_str(), "UDP") == 0 ? 1 : 0);
    SetChecked(IDC_ETH_LISTEN, config.GetI32(param::EthernetAcceptConnection, 0) != 0);
    SetUnsigned(IDC_ETH_LISTEN_PORT, config.GetU32(param::EthernetListenPort, 0));
    SetChecked(IDC_ETH_SHARE, config.GetI32(param::EthernetShareListenPort, 0) != 0);
    SetChecked(IDC_ETH_IPV6, config.GetI32(param::EthernetUseIPv6, 0) != 0);
    if (!localAddressesFilled_) FillLocalAddresses();
    const std::string listenIP = config.GetString(param::EthernetListenIP, "");
    SetChecked(IDC_ETH_LOCAL_IP, !listenIP.empty());
    const std::string shown = listenIP.empty() ? ALL_INTERFACES : listenIP;
    const int found = static_cast<int>(
        SendMessageA(Control(IDC_ETH_LOCAL_IP_LIST), CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(shown.c_str())));
    if (found != CB_ERR)
        Select(IDC_ETH_LOCAL_IP_LIST, found);
    else
        SetText(IDC_ETH_LOCAL_IP_LIST, shown);
    SetText(IDC_ETH_MAIN_IP, config.GetString(param::EthernetMainIP, ""));
    SetUnsigned(IDC_ETH_MAIN_PORT, config.GetU32(param::EthernetMainPort, 0));
    SetChecked(IDC_ETH_MAIN_LOCAL, config.GetI32(param::EthernetMainLocalPortEnable, 0) != 0);
    SetUnsigned(IDC_ETH_MAIN_LOCAL_PORT, config.GetU32(param::EthernetMainLocalPort, 0));
    SetChecked(IDC_ETH_BACKUP, config.GetI32(param::EthernetBackupEnable, 0) != 0);
    SetText(IDC_ETH_BACKUP_IP, config.GetString(param::EthernetBackupIP, ""));
    SetUnsigned(IDC_ETH_BACKUP_PORT, config.GetU32(param::EthernetBackupPort, 0));
    SetChecked(IDC_ETH_BACKUP_LOCAL, config.GetI32(param::EthernetBackupLocalPortEnable, 0) != 0);
    SetUnsigned(IDC_ETH_BACKUP_LOCAL_PORT, config.GetU32(param::EthernetBackupLocalPort, 0));
    SetChecked(IDC_ETH_PING, config.GetI32(param::EthernetPingEnable, 0) != 0);
    SetUnsigned(IDC_ETH_PING_TIMEOUT, config.GetU32(param::EthernetPingTimeoutMs, 4000));
    SetUnsigned(IDC_ETH_PING_TRIES, config.GetU32(param::EthernetPingTries, 1));
    SetChecked(IDC_ETH_ECHO, config.GetI32(param::EthernetSupressEcho, 0) != 0);
}

void CEthernetPage::FillLocalAddresses() {
    HWND list = Control(IDC_ETH_LOCAL_IP_LIST);
    const int previous = Selection(IDC_ETH_LOCAL_IP_LIST);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ALL_INTERFACES));
    for (const std::string &address : LocalAddresses(Checked(IDC_ETH_IPV6)))
        SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(address.c_str()));
    localAddressesFilled_ = true;
    const int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
    int index = previous >= 0 && previous < count ? previous : CB_ERR;
    if (index == CB_ERR) {
        const std::string configured = Config().GetString(param::EthernetListenIP, "");
        if (!configured.empty())
            index = static_cast<int>(SendMessageA(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                                  reinterpret_cast<LPARAM>(configured.c_str())));
    }
    Select(IDC_ETH_LOCAL_IP_LIST, index == CB_ERR ? 0 : index);
}

bool CEthernetPage::Store() {
    std::optional<uint32_t> listenPort, mainPort, mainLocalPort, backupPort, backupLocalPort, pingTimeout, pingTries;
    if (!ReadUnsigned(IDC_ETH_LISTEN_PORT, "Listen for connections on port", 0, 0xFFFFFFFF, listenPort) ||
        !ReadUnsigned(IDC_ETH_MAIN_PORT, "Port", 0, 0xFFFFFFFF, mainPort) ||
        !ReadUnsigned(IDC_ETH_MAIN_LOCAL_PORT, "Specify local port", 0, 0xFFFFFFFF, mainLocalPort) ||
        !ReadUnsigned(IDC_ETH_BACKUP_PORT, "Backup address Port", 0, 0xFFFFFFFF, backupPort) ||
        !ReadUnsigned(IDC_ETH_BACKUP_LOCAL_PORT, "Backup address Specify local port", 0, 0xFFFFFFFF, backupLocalPort) ||
        !ReadUnsigned(IDC_ETH_PING_TIMEOUT, "PING Timeout", 0, 0xFFFFFFFF, pingTimeout) ||
        !ReadUnsigned(IDC_ETH_PING_TRIES, "PING Retries", 0, 0xFFFFFFFF, pingTries))
        return false;
    CConfigData &config = Config();
    config.SetString(param::EthernetTransport, Selection(IDC_ETH_TRANSPORT) == 1 ? "UDP" : "TCP");
    config.SetI32(param::EthernetAcceptConnection, Checked(IDC_ETH_LISTEN) ? 1 : 0);
    StoreUnsigned(param::EthernetListenPort, listenPort);
    config.SetI32(param::EthernetShareListenPort, Checked(IDC_ETH_SHARE) ? 1 : 0);
    const std::string localIP = Text(IDC_ETH_LOCAL_IP_LIST);
    config.SetString(param::EthernetListenIP,
                     Checked(IDC_ETH_LOCAL_IP) && localIP != ALL_INTERFACES ? localIP.c_str() : "");
    config.SetString(param::EthernetMainIP, Text(IDC_ETH_MAIN_IP).c_str());
    StoreUnsigned(param::EthernetMainPort, mainPort);
    config.SetI32(param::EthernetMainLocalPortEnable, Checked(IDC_ETH_MAIN_LOCAL) ? 1 : 0);
    StoreUnsigned(param::EthernetMainLocalPort, mainLocalPort);
    config.SetI32(param::EthernetBackupEnable, Checked(IDC_ETH_BACKUP) ? 1 : 0);
    config.SetString(param::EthernetBackupIP, Text(IDC_ETH_BACKUP_IP).c_str());
    StoreUnsigned(param::EthernetBackupPort, backupPort);
    config.SetI32(param::EthernetBackupLocalPortEnable, Checked(IDC_ETH_BACKUP_LOCAL) ? 1 : 0);
    StoreUnsigned(param::EthernetBackupLocalPort, backupLocalPort);
    config.SetI32(param::EthernetPingEnable, Checked(IDC_ETH_PING) ? 1 : 0);
    StoreUnsigned(param::EthernetPingTimeoutMs, pingTimeout);
    StoreUnsigned(param::EthernetPingTries, pingTries);
    config.SetI32(param::EthernetSupressEcho, Checked(IDC_ETH_ECHO) ? 1 : 0);
    config.SetI32(param::EthernetUseIPv6, Checked(IDC_ETH_IPV6) ? 1 : 0);
    return true;
}

void CEthernetPage::UpdateControls() {
    const std::string type = Config().GetString(param::Type, "");
    const bool ethernet = lstrcmpiA(type.c_str(), "Ethernet") == 0 || lstrcmpiA(type.c_str(), "RAS") == 0;
    const bool listen = ethernet && Checked(IDC_ETH_LISTEN);
    const bool connect = ethernet && !Checked(IDC_ETH_LISTEN);
    const bool backup = connect && Checked(IDC_ETH_BACKUP);
    const bool ping = connect && Checked(IDC_ETH_PING);
    Enable({IDC_ETH_TRANSPORT, IDC_ETH_TRANSPORT_LABEL, IDC_ETH_IPV6, IDC_ETH_LISTEN}, ethernet);
    Enable({IDC_ETH_LISTEN_PORT, IDC_ETH_SHARE, IDC_ETH_LOCAL_IP}, listen);
    Enable(IDC_ETH_LOCAL_IP_LIST, listen && Checked(IDC_ETH_LOCAL_IP));
    Enable({IDC_ETH_MAIN_GROUP, IDC_ETH_MAIN_IP, IDC_ETH_MAIN_IP_LABEL, IDC_ETH_MAIN_PORT, IDC_ETH_MAIN_PORT_LABEL,
            IDC_ETH_MAIN_LOCAL},
           connect);
    Enable(IDC_ETH_MAIN_LOCAL_PORT, connect && Checked(IDC_ETH_MAIN_LOCAL));
    Enable({IDC_ETH_BACKUP, IDC_ETH_PING}, connect);
    Enable({IDC_ETH_BACKUP_GROUP, IDC_ETH_BACKUP_IP, IDC_ETH_BACKUP_IP_LABEL, IDC_ETH_BACKUP_PORT,
            IDC_ETH_BACKUP_PORT_LABEL, IDC_ETH_BACKUP_LOCAL},
           backup);
    Enable(IDC_ETH_BACKUP_LOCAL_PORT, backup && Checked(IDC_ETH_BACKUP_LOCAL));
    Enable({IDC_ETH_PING_GROUP, IDC_ETH_PING_TIMEOUT, IDC_ETH_PING_TIMEOUT_LABEL, IDC_ETH_PING_UNIT,
            IDC_ETH_PING_TRIES, IDC_ETH_PING_TRIES_LABEL},
           ping);
    // The two boxes sit on their group frames, which have just painted over
    // them.
    for (int id : {IDC_ETH_BACKUP, IDC_ETH_PING}) {
        InvalidateRect(Control(id), nullptr, TRUE);
        UpdateWindow(Control(id));
    }
}

bool CEthernetPage::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return false;
    switch (id) {
    case IDC_ETH_IPV6:
        FillLocalAddresses();
        StoreAndUpdate();
        return true;
    case IDC_ETH_BACKUP:
    case IDC_ETH_PING:
    case IDC_ETH_LISTEN:
    case IDC_ETH_LOCAL_IP:
    case IDC_ETH_MAIN_LOCAL:
    case IDC_ETH_BACKUP_LOCAL:
        StoreAndUpdate();
        return true;
    default:
        return false;
    }
}

} // namespace quillon

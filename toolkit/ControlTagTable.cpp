// The control tag table, its lookups by name and by address, and the tree
// of control tags offered to the host's tag browser.
#include "toolkit/ControlTagTable.h"

#include "base/ComUtil.h"
#include "toolkit/ControlTagStrings.h"

#include <cstring>
#include <iterator>
#include <map>
#include <string>

namespace quillon {

namespace {

const ControlTagElement EventElements[] = {
    {"EventType", IDS_CT_ELEMENT_EVENT_TYPE},
    {"EventSource", IDS_CT_ELEMENT_EVENT_SOURCE},
    {"ErrorNumber", IDS_CT_ELEMENT_ERROR_NUMBER},
    {"EventDescription", IDS_CT_ELEMENT_EVENT_DESCRIPTION},
};
constexpr uint16_t EVENT_ELEMENT_COUNT = static_cast<uint16_t>(std::size(EventElements));

} // namespace

const ControlTagEntry ControlTagTable[] = {
    {CONTROL_GROUP_GENERAL, "IO.ChanferEvent", IDS_CT_CHANFER_EVENT, CONTROL_TYPE_HVAL, CONTROL_ATTR_READABLE | CONTROL_ATTR_EVENTS_BLOCK, EVENT_ELEMENT_COUNT, -1, 0, 0, 1, EventElements},
    {CONTROL_GROUP_GENERAL, "IO.PhysicalLayerStatus", IDS_CT_PHYSICAL_LAYER_STATUS, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE, 0, -1, 0, 0, 2, nullptr},
    {CONTROL_GROUP_GENERAL, "IO.SetConfigurationParameters", IDS_CT_SET_CONFIGURATION_PARAMETERS, CONTROL_TYPE_HVAL, CONTROL_ATTR_WRITABLE | CONTROL_ATTR_ANY_BLOCK_SIZE, 0, -1, 0, 0, 3, nullptr},
    {CONTROL_GROUP_GENERAL, "IO.WorkOnline", IDS_CT_WORK_ONLINE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE, 0, -1, 0, 0, 4, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.PhoneNumber", IDS_CT_TAPI_PHONE_NUMBER, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE, 0, -1, 0, 3, 0, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.Dial", IDS_CT_TAPI_DIAL, CONTROL_TYPE_HVAL, CONTROL_ATTR_WRITABLE | CONTROL_ATTR_COMMAND, 0, -1, 0, 3, 1, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.ModemStatus", IDS_CT_TAPI_MODEM_STATUS, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE, 0, -1, 0, 3, 2, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.IsModemConnected", IDS_CT_TAPI_IS_MODEM_CONNECTED, CONTROL_TYPE_U16, CONTROL_ATTR_READABLE, 0, -1, 0, 3, 3, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.HangUp", IDS_CT_TAPI_HANG_UP, CONTROL_TYPE_HVAL, CONTROL_ATTR_WRITABLE | CONTROL_ATTR_COMMAND, 0, -1, 0, 3, 4, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.ConnectionBaudRate", IDS_CT_TAPI_CONNECTION_BAUD_RATE, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE, 0, -1, 0, 3, 5, nullptr},
    {CONTROL_GROUP_MODEM, "IO.TAPI.IsModemConnecting", IDS_CT_TAPI_IS_MODEM_CONNECTING, CONTROL_TYPE_U16, CONTROL_ATTR_READABLE, 0, -1, 0, 3, 6, nullptr},
    {CONTROL_GROUP_ETHERNET, "IO.Ethernet.IPSelect", IDS_CT_ETHERNET_IP_SELECT, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE, 0, -1, 0, 4, 0, nullptr},
    {CONTROL_GROUP_ETHERNET, "IO.Ethernet.IPSwitch", IDS_CT_ETHERNET_IP_SWITCH, CONTROL_TYPE_HVAL, CONTROL_ATTR_WRITABLE | CONTROL_ATTR_COMMAND, 0, -1, 0, 4, 1, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Type", IDS_CT_PARAM_TYPE, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.TimeoutMs", IDS_CT_PARAM_TIMEOUT_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.StartOffline", IDS_CT_PARAM_START_OFFLINE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.ConnectionMode", IDS_CT_PARAM_CONNECTION_MODE, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.RecoverEnable", IDS_CT_PARAM_RECOVER_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.RecoverPeriodSec", IDS_CT_PARAM_RECOVER_PERIOD_SEC, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.GiveUpEnable", IDS_CT_PARAM_GIVE_UP_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.GiveUpTries", IDS_CT_PARAM_GIVE_UP_TRIES, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.InactivityEnable", IDS_CT_PARAM_INACTIVITY_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.InactivityPeriodSec", IDS_CT_PARAM_INACTIVITY_PERIOD_SEC, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Log.Enable", IDS_CT_PARAM_LOG_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Log.Filename", IDS_CT_PARAM_LOG_FILENAME, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.Port", IDS_CT_PARAM_SERIAL_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.Baudrate", IDS_CT_PARAM_SERIAL_BAUDRATE, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.DataBits", IDS_CT_PARAM_SERIAL_DATA_BITS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.StopBits", IDS_CT_PARAM_SERIAL_STOP_BITS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.Parity", IDS_CT_PARAM_SERIAL_PARITY, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.RTS", IDS_CT_PARAM_SERIAL_RTS, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.DTR", IDS_CT_PARAM_SERIAL_DTR, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.DelayBeforeMs", IDS_CT_PARAM_SERIAL_DELAY_BEFORE_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.DelayAfterMs", IDS_CT_PARAM_SERIAL_DELAY_AFTER_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.CTSTimeoutMs", IDS_CT_PARAM_SERIAL_CTS_TIMEOUT_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.WaitCTS", IDS_CT_PARAM_SERIAL_WAIT_CTS, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.InterbyteDelayUs", IDS_CT_PARAM_SERIAL_INTERBYTE_DELAY_US, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.InterframeDelayMs", IDS_CT_PARAM_SERIAL_INTERFRAME_DELAY_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Serial.SupressEcho", IDS_CT_PARAM_SERIAL_SUPRESS_ECHO, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.TAPI.AcceptIncoming", IDS_CT_PARAM_TAPI_ACCEPT_INCOMING, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.TAPI.PhoneNumber", IDS_CT_PARAM_TAPI_PHONE_NUMBER, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.TAPI.ModemID", IDS_CT_PARAM_TAPI_MODEM_ID, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.MainIP", IDS_CT_PARAM_ETHERNET_MAIN_IP, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.MainPort", IDS_CT_PARAM_ETHERNET_MAIN_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.MainLocalPortEnable", IDS_CT_PARAM_ETHERNET_MAIN_LOCAL_PORT_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.MainLocalPort", IDS_CT_PARAM_ETHERNET_MAIN_LOCAL_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.BackupEnable", IDS_CT_PARAM_ETHERNET_BACKUP_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.BackupIP", IDS_CT_PARAM_ETHERNET_BACKUP_IP, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.BackupPort", IDS_CT_PARAM_ETHERNET_BACKUP_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.BackupLocalPortEnable", IDS_CT_PARAM_ETHERNET_BACKUP_LOCAL_PORT_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.BackupLocalPort", IDS_CT_PARAM_ETHERNET_BACKUP_LOCAL_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.PingEnable", IDS_CT_PARAM_ETHERNET_PING_ENABLE, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.PingTimeoutMs", IDS_CT_PARAM_ETHERNET_PING_TIMEOUT_MS, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.PingTries", IDS_CT_PARAM_ETHERNET_PING_TRIES, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.Transport", IDS_CT_PARAM_ETHERNET_TRANSPORT, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.AcceptConnection", IDS_CT_PARAM_ETHERNET_ACCEPT_CONNECTION, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.ListenPort", IDS_CT_PARAM_ETHERNET_LISTEN_PORT, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.ListenIP", IDS_CT_PARAM_ETHERNET_LISTEN_IP, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.ShareListenPort", IDS_CT_PARAM_ETHERNET_SHARE_LISTEN_PORT, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.Ethernet.SupressEcho", IDS_CT_PARAM_ETHERNET_SUPRESS_ECHO, CONTROL_TYPE_I32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.RAS.ATCommand", IDS_CT_PARAM_RAS_AT_COMMAND, CONTROL_TYPE_STR, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_PARAMETERS, "IO.RAS.CommandTimeoutSec", IDS_CT_PARAM_RAS_COMMAND_TIMEOUT_SEC, CONTROL_TYPE_U32, CONTROL_ATTR_READABLE | CONTROL_ATTR_WRITABLE | CONTROL_ATTR_PARAMETER, 0, -1, 0, 0, 5, nullptr},
    {CONTROL_GROUP_END, nullptr, 0, 0, 0, 0, 0, 0, 0, 0, nullptr},
};

uint32_t AccessRestrictionFlags(const ControlTagEntry &entry) {
    uint32_t flags = 0;
    if (!(entry.attributes & CONTROL_ATTR_READABLE)) flags |= TAG_ACCESS_NO_READ;
    if (!(entry.attributes & CONTROL_ATTR_WRITABLE)) flags |= TAG_ACCESS_NO_WRITE;
    return flags;
}

namespace {

// ASCII-only folding: the names are ASCII, and the C library's case rules
// follow the host's locale, which could reorder a map already built.
char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

struct CaseInsensitiveLess {
    bool operator()(const char *a, const char *b) const {
        for (;; ++a, ++b) {
            const unsigned char ca = static_cast<unsigned char>(FoldCase(*a));
            const unsigned char cb = static_cast<unsigned char>(FoldCase(*b));
            if (ca != cb) return ca < cb;
            if (ca == 0) return false;
        }
    }
};

uint32_t AddressKey(uint16_t n3, uint16_t n4) { return (static_cast<uint32_t>(n3) << 16) | n4; }

CriticalSection g_lookupLock;
bool g_lookupBuilt = false;
std::map<const char *, const ControlTagEntry *, CaseInsensitiveLess> g_byName;
std::map<uint32_t, const ControlTagEntry *> g_byAddress;

// Built on first use rather than at load time so that loading the library
// does no allocation; the maps never change afterwards, so readers only
// need the lock to see the finished maps.
void EnsureLookups() {
    ScopedLock lock(g_lookupLock);
    if (g_lookupBuilt) return;
    for (const ControlTagEntry *entry = ControlTagTable; entry->group != CONTROL_GROUP_END; ++entry) {
        g_byName.insert_or_assign(entry->name, entry);
        g_byAddress.insert_or_assign(AddressKey(entry->n3, entry->n4), entry);
    }
    g_lookupBuilt = true;
}

} // namespace

const ControlTagEntry *FindControlTagByName(const char *name) {
    if (!name) return nullptr;
    EnsureLookups();
    const auto found = g_byName.find(name);
    return found == g_byName.end() ? nullptr : found->second;
}

const ControlTagEntry *FindControlTagByAddress(uint16_t n3, uint16_t n4) {
    EnsureLookups();
    const auto found = g_byAddress.find(AddressKey(n3, n4));
    return found == g_byAddress.end() ? nullptr : found->second;
}

HRESULT ValidateControlTagByName(const wchar_t *item, TagInfo *info) {
    if (!item || !info) return E_FAIL;
    const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, item, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return E_FAIL;
    std::string name(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, item, -1, &name[0], size, nullptr, nullptr) != size) return E_FAIL;

    const ControlTagEntry *entry = FindControlTagByName(name.c_str());
    if (!entry) return E_FAIL;
    info->n1 = entry->n1;
    info->n2 = entry->n2;
    info->n3 = entry->n3;
    info->n4 = entry->n4;
    info->blockSize = entry->elementCount;
    info->flags = AccessRestrictionFlags(*entry);
    info->type = entry->type;
    return 0;
}

HRESULT ValidateControlTagByNumber(const TagInfo *info) {
    if (!info || info->n1 != -1 || info->n2 != 0) return E_FAIL;
    const ControlTagEntry *entry = FindControlTagByAddress(info->n3, info->n4);
    if (!entry) return E_FAIL;
    if (entry->attributes & CONTROL_ATTR_ANY_BLOCK_SIZE) return 0;
    // Blocks must be read as blocks and single values as single values.
    return ((info->blockSize != 0) == (entry->elementCount != 0)) ? 0 : E_FAIL;
}

namespace {

// An empty text when the module has no such string.
std::string LoadText(HINSTANCE module, unsigned id) {
    std::string text(256, '\0');
    for (;;) {
        const int length = LoadStringA(module, id, &text[0], static_cast<int>(text.size()));
        if (length <= 0) return std::string();
        // A text that fills the buffer may have been cut short.
        if (static_cast<size_t>(length) + 1 < text.size()) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

BrowserItem MakeItem(uint32_t kind, const char *name, const std::string &description) {
    BrowserItem item;
    std::memset(&item, 0, sizeof item);
    item.size = sizeof(BrowserItem);
    item.kind = kind;
    item.name = name;
    item.description = description.c_str();
    return item;
}

struct GroupFolder {
    int group;
    unsigned nameId;
    const char *fallbackName;
    unsigned descriptionId;
};

const GroupFolder GroupFolders[] = {
    {CONTROL_GROUP_GENERAL, IDS_CT_FOLDER_GENERAL, "General", IDS_CT_GENERAL_DESCRIPTION},
    {CONTROL_GROUP_MODEM, IDS_CT_FOLDER_MODEM, "Modem", IDS_CT_MODEM_DESCRIPTION},
    {CONTROL_GROUP_ETHERNET, IDS_CT_FOLDER_ETHERNET, "Ethernet", IDS_CT_ETHERNET_DESCRIPTION},
    {CONTROL_GROUP_PARAMETERS, IDS_CT_FOLDER_PARAMETERS, "Parameters", IDS_CT_PARAMETERS_DESCRIPTION},
};

void AddElements(IIOTagBrowser *browser, IIOTagBrowser *blockNode, const ControlTagEntry &entry,
                 HINSTANCE textModule) {
    for (uint16_t index = 0; index < entry.elementCount; ++index) {
        const ControlTagElement &element = entry.elements[index];
        const std::string help = LoadText(textModule, element.helpId);
        BrowserItem item = MakeItem(BROWSER_BLOCK_ELEMENT, element.name, help);
        item.countOrIndex = index;
        // A failed element leaves the others useful.
        browser->AddItem(blockNode, &item, nullptr, 0);
    }
}

void AddGroupTags(IIOTagBrowser *browser, IIOTagBrowser *folder, int group, HINSTANCE textModule) {
    for (const ControlTagEntry *entry = ControlTagTable; entry->group != CONTROL_GROUP_END; ++entry) {
        if (entry->group != group) continue;
        const std::string help = LoadText(textModule, entry->helpId);
        const bool block = entry->elementCount != 0;
        BrowserItem item = MakeItem(block ? BROWSER_BLOCK : BROWSER_TAG, entry->name, help);
        item.itemText = entry->name;
        item.accessFlags = AccessRestrictionFlags(*entry);
        if (!block) {
            browser->AddItem(folder, &item, nullptr, 0);
            continue;
        }
        item.countOrIndex = entry->elementCount;
        ComPtr<IIOTagBrowser> blockNode;
        if (SUCCEEDED(browser->AddItem(folder, &item, blockNode.put(), 0)) && blockNode)
            AddElements(browser, blockNode.get(), *entry, textModule);
    }
}

} // namespace

HRESULT AddControlTagTree(IIOTagBrowser *browser, HINSTANCE textModule) {
    if (!browser) return E_POINTER;
    const std::string rootDescription = LoadText(textModule, IDS_CT_ROOT_DESCRIPTION);
    const BrowserItem rootItem = MakeItem(BROWSER_FOLDER, "Chanfer", rootDescription);
    ComPtr<IIOTagBrowser> root;
    const HRESULT hr = browser->AddItem(nullptr, &rootItem, root.put(), 0);
    if (FAILED(hr)) return hr;
    // Without a node the tags would land beside the root instead of below it.
    if (!root) return E_UNEXPECTED;

    for (const GroupFolder &folder : GroupFolders) {
        std::string name = LoadText(textModule, folder.nameId);
        if (name.empty()) name = folder.fallbackName;
        const std::string description = LoadText(textModule, folder.descriptionId);
        const BrowserItem folderItem = MakeItem(BROWSER_FOLDER, name.c_str(), description);
        ComPtr<IIOTagBrowser> folderNode;
        if (FAILED(browser->AddItem(root.get(), &folderItem, folderNode.put(), 0)) || !folderNode) continue;
        AddGroupTags(browser, folderNode.get(), folder.group, textModule);
    }
    return 0;
}

} // namespace quillon

// Names of the configuration parameters, and the renames that bring a
// configuration saved by an older release up to date.
#pragma once

namespace quillon {
namespace param {

constexpr const char *Type = "IO.Type";
constexpr const char *TimeoutMs = "IO.TimeoutMs";
constexpr const char *StartOffline = "IO.StartOffline";
constexpr const char *ConnectionMode = "IO.ConnectionMode";
constexpr const char *RecoverEnable = "IO.RecoverEnable";
constexpr const char *RecoverPeriodSec = "IO.RecoverPeriodSec";
constexpr const char *GiveUpEnable = "IO.GiveUpEnable";
constexpr const char *GiveUpTries = "IO.GiveUpTries";
constexpr const char *InactivityEnable = "IO.InactivityEnable";
constexpr const char *InactivityPeriodSec = "IO.InactivityPeriodSec";
constexpr const char *LogEnable = "IO.Log.Enable";
constexpr const char *LogFilename = "IO.Log.Filename";
constexpr const char *Debug = "IO.Debug";

constexpr const char *SerialPort = "IO.Serial.Port";
constexpr const char *SerialBaudrate = "IO.Serial.Baudrate";
constexpr const char *SerialDataBits = "IO.Serial.DataBits";
constexpr const char *SerialStopBits = "IO.Serial.StopBits";
constexpr const char *SerialParity = "IO.Serial.Parity";
constexpr const char *SerialRTS = "IO.Serial.RTS";
constexpr const char *SerialDTR = "IO.Serial.DTR";
constexpr const char *SerialDelayBeforeMs = "IO.Serial.DelayBeforeMs";
constexpr const char *SerialDelayAfterMs = "IO.Serial.DelayAfterMs";
constexpr const char *SerialCTSTimeoutMs = "IO.Serial.CTSTimeoutMs";
constexpr const char *SerialWaitCTS = "IO.Serial.WaitCTS";
constexpr const char *SerialInterbyteDelayUs = "IO.Serial.InterbyteDelayUs";
constexpr const char *SerialInterframeDelayMs = "IO.Serial.InterframeDelayMs";
constexpr const char *SerialSupressEcho = "IO.Serial.SupressEcho";

constexpr const char *TAPIAcceptIncoming = "IO.TAPI.AcceptIncoming";
constexpr const char *TAPIPhoneNumber = "IO.TAPI.PhoneNumber";
constexpr const char *TAPIModemID = "IO.TAPI.ModemID";

constexpr const char *EthernetMainIP = "IO.Ethernet.MainIP";
constexpr const char *EthernetMainPort = "IO.Ethernet.MainPort";
constexpr const char *EthernetMainLocalPortEnable = "IO.Ethernet.MainLocalPortEnable";
constexpr const char *EthernetMainLocalPort = "IO.Ethernet.MainLocalPort";
constexpr const char *EthernetBackupEnable = "IO.Ethernet.BackupEnable";
constexpr const char *EthernetBackupIP = "IO.Ethernet.BackupIP";
constexpr const char *EthernetBackupPort = "IO.Ethernet.BackupPort";
constexpr const char *EthernetBackupLocalPortEnable = "IO.Ethernet.BackupLocalPortEnable";
constexpr const char *EthernetBackupLocalPort = "IO.Ethernet.BackupLocalPort";
constexpr const char *EthernetPingEnable = "IO.Ethernet.PingEnable";
constexpr const char *EthernetPingTimeoutMs = "IO.Ethernet.PingTimeoutMs";
constexpr const char *EthernetPingTries = "IO.Ethernet.PingTries";
constexpr const char *EthernetTransport = "IO.Ethernet.Transport";
constexpr const char *EthernetAcceptConnection = "IO.Ethernet.AcceptConnection";
constexpr const char *EthernetListenPort = "IO.Ethernet.ListenPort";
constexpr const char *EthernetListenIP = "IO.Ethernet.ListenIP";
constexpr const char *EthernetShareListenPort = "IO.Ethernet.ShareListenPort";
constexpr const char *EthernetSupressEcho = "IO.Ethernet.SupressEcho";
constexpr const char *EthernetUDPBroadcastMode = "IO.Ethernet.UDP.BroadcastMode";
constexpr const char *EthernetUseIPv6 = "IO.Ethernet.UseIPv6";

constexpr const char *RASATCommand = "IO.RAS.ATCommand";
constexpr const char *RASCommandTimeoutSec = "IO.RAS.CommandTimeoutSec";

constexpr const char *VBScriptCode = "VBScript.Code";
// The longest a script call may run, in seconds; 0 means no limit.
constexpr const char *VBScriptTimeLimitSec = "VBScript.TimeLimitSec";
constexpr unsigned VBScriptTimeLimitDefaultSec = 30;
constexpr unsigned VBScriptTimeLimitMostSec = 86400;

// Its presence marks a configuration written before the renames below.
constexpr const char *LegacyTimeout = "IO.msTimeout";

struct LegacyRename {
    const char *oldName;
    const char *newName;
};

// Applied in this order.
constexpr LegacyRename LegacyRenames[] = {
    {"IO.msTimeout", TimeoutMs},
    {"IO.RecoverPeriod", RecoverPeriodSec},
    {"IO.InactivityPeriod", InactivityPeriodSec},
    {"IO.Serial.DelayBefore", SerialDelayBeforeMs},
    {"IO.Serial.DelayAfter", SerialDelayAfterMs},
    {"IO.Serial.CTSTimeout", SerialCTSTimeoutMs},
    {"IO.Ethernet.PingTimeout", EthernetPingTimeoutMs},
    {"IO.RAS.CommandTimeout", RASCommandTimeoutSec},
};

} // namespace param
} // namespace quillon

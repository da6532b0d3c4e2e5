#include "host/ConfigFile.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <windows.h>
#include <cstdlib>
#include <limits>

namespace quillon {
namespace {

std::string Trim(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string Upper(std::string text) {
    for (char &c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string DirectoryOf(const std::string &path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsAbsolute(const std::string &path) {
    return (path.size() > 1 && path[1] == ':') || (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

bool ParseInteger(const std::string &text, long long low, long long high, long long &out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const long long number = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number < low || number > high) return false;
    out = number;
    return true;
}

bool ParseReal(const std::string &text, double &out) {
    if (text.empty()) return false;
    char *end = nullptr;
    out = strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(out);
}

} // namespace

bool ReadTextFile(const std::string &path, std::string &text) {
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    text.clear();
    char chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, read);
    fclose(file);
    return true;
}

bool ParseTypedValue(const std::string &typeName, const std::string &text, HVALUE target, std::string &error) {
    const std::string type = Upper(typeName);
    long long integer = 0;
    double real = 0;
    struct IntegerType {
        const char *name;
        long long low, high;
    };
    static const IntegerType integers[] = {{"I8", -128, 127},
                                           {"U8", 0, 255},
                                           {"I16", -32768, 32767},
                                           {"U16", 0, 65535},
                                           {"I32", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()},
                                           {"U32", 0, std::numeric_limits<uint32_t>::max()}};
    for (const IntegerType &candidate : integers) {
        if (type != candidate.name) continue;
        if (!ParseInteger(text, candidate.low, candidate.high, integer)) {
            error = "'" + text + "' is not a " + type + " number";
            return false;
        }
        if (type == "I8") return hvSetI8(target, static_cast<int8_t>(integer));
        if (type == "U8") return hvSetU8(target, static_cast<uint8_t>(integer));
        if (type == "I16") return hvSetI16(target, static_cast<int16_t>(integer));
        if (type == "U16") return hvSetU16(target, static_cast<uint16_t>(integer));
        if (type == "I32") return hvSetI32(target, static_cast<int32_t>(integer));
        return hvSetU32(target, static_cast<uint32_t>(integer));
    }
    if (type == "R32" || type == "R64") {
        if (!ParseReal(text, real)) {
            error = "'" + text + "' is not a number";
            return false;
        }
        return type == "R32" ? hvSetR32(target, static_cast<float>(real)) : hvSetR64(target, real);
    }
    if (type == "STR") return hvSetString(target, text.c_str());
    error = "unknown type '" + typeName + "' (use I8, U8, I16, U16, I32, U32, R32, R64 or STR)";
    return false;
}

bool ReadConfigFile(const std::string &path, ConfigFile &config, std::string &error) {
    std::string text;
    if (!ReadTextFile(path, text)) {
        error = path + ": cannot open the configuration file";
        return false;
    }
    config = ConfigFile();
    std::string section;
    unsigned lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') {
                error = where + "a section header must end with ']'";
                return false;
            }
            section = Upper(Trim(line.substr(1, line.size() - 2)));
            if (section != "PARAMETERS" && section != "SCRIPT") {
                error = where + "unknown section '" + line + "' (use [Parameters] or [Script])";
                return false;
            }
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = where + "expected 'name = value'";
            return false;
        }
        const std::string key = Trim(line.substr(0, equals));
        const std::string rest = Trim(line.substr(equals + 1));
        if (section == "SCRIPT") {
            if (Upper(key) != "FILE") {
                error = where + "the [Script] section knows only 'File'";
                return false;
            }
            config.scriptFile = IsAbsolute(rest) ? rest : DirectoryOf(path) + rest;
            continue;
        }
        if (section != "PARAMETERS") {
            error = where + "a parameter outside the [Parameters] section";
            return false;
        }
        const size_t space = rest.find_first_of(" \t");
        ConfigParameter parameter;
        parameter.name = key;
        parameter.type = Upper(rest.substr(0, space));
        parameter.value = space == std::string::npos ? "" : Trim(rest.substr(space));
        if (parameter.value.size() >= 2 && parameter.value.front() == '"' && parameter.value.back() == '"')
            parameter.value = parameter.value.substr(1, parameter.value.size() - 2);
        HValue check = HValue::Create();
        std::string reason;
        if (!ParseTypedValue(parameter.type, parameter.value, check.get(), reason)) {
            error = where + key + ": " + reason;
            return false;
        }
        config.parameters.push_back(parameter);
    }
    return true;
}

namespace {

bool WriteTextFile(const std::string &path, const std::string &text) {
    FILE *file = fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

// "TYPE text" of one parameter value, as ReadConfigFile reads it back.
bool TypedText(HVALUE value, std::string &text) {
    static const char *const names[] = {"", "I8", "U8", "I16", "U16", "I32", "U32", "R32", "R64"};
    const unsigned type = hvGetType(value);
    char number[64];
    if (type == HV_I8 || type == HV_I16 || type == HV_I32) {
        int32_t v = 0;
        hvGetI32(value, &v);
        snprintf(number, sizeof number, "%s %ld", names[type], static_cast<long>(v));
    } else if (type == HV_U8 || type == HV_U16 || type == HV_U32) {
        uint32_t v = 0;
        hvGetU32(value, &v);
        snprintf(number, sizeof number, "%s %lu", names[type], static_cast<unsigned long>(v));
    } else if (type == HV_R32 || type == HV_R64) {
        double v = 0;
        hvGetR64(value, &v);
        snprintf(number, sizeof number, "%s %.17g", names[type], v);
    } else if (type == HV_STR) {
        const char *string = nullptr;
        if (!hvGetString(value, &string) || !string || strpbrk(string, "\r\n")) return false;
        text = std::string("STR \"") + string + "\"";
        return true;
    } else {
        return false;
    }
    text = number;
    return true;
}

} // namespace

bool WriteConfigFile(const std::string &path, const ConfigFile &original, HVALUE settings, std::string &error) {
    std::string script;
    bool hasScript = false;
    std::string lines = "; Quillon configuration, written by quillonhost configure\n[Parameters]\n";
    const unsigned count = hvGetCount(settings);
    for (unsigned i = 1; i + 1 < count; i += 2) {
        const char *name = nullptr;
        HValue value;
        if (!hvGetElementString(settings, i, &name) || !name || !hvGetElement(settings, i + 1, value.put())) {
            error = "the settings are not in the driver's saved form";
            return false;
        }
        if (lstrcmpiA(name, "VBScript.Code") == 0) {
            const char *text = nullptr;
            hasScript = hvGetString(value.get(), &text) && text;
            if (hasScript) script = text;
            continue;
        }
        std::string typed;
        if (!TypedText(value.get(), typed)) {
            error = std::string(name) + ": a value of this type cannot be written to a configuration file";
            return false;
        }
        lines += std::string(name) + " = " + typed + "\n";
    }
    std::string scriptFile = original.scriptFile;
    if (scriptFile.empty() && hasScript && !script.empty()) {
        const size_t dot = path.find_last_of('.');
        const size_t slash = path.find_last_of("\\/");
        scriptFile = (dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot) : path) + ".vbs";
    }
    if (!scriptFile.empty()) {
        // Named relative to the configuration file where it lies beside it.
        const std::string directory = DirectoryOf(path);
        const std::string shown = !directory.empty() && scriptFile.compare(0, directory.size(), directory) == 0
                                      ? scriptFile.substr(directory.size())
                                      : scriptFile;
        lines += "\n[Script]\nFile = " + shown + "\n";
        if (!WriteTextFile(scriptFile, script)) {
            error = scriptFile + ": cannot write the script file";
            return false;
        }
    }
    if (!WriteTextFile(path, lines)) {
        error = path + ": cannot write the configuration file";
        return false;
    }
    return true;
}

bool MakeSettingsValue(const ConfigFile &config, HValue &settings, std::string &error) {
    std::string script;
    const bool hasScript = !config.scriptFile.empty();
    if (hasScript && !ReadTextFile(config.scriptFile, script)) {
        error = config.scriptFile + ": cannot open the script file";
        return false;
    }
    const unsigned pairs = static_cast<unsigned>(config.parameters.size() + (hasScript ? 1 : 0));
    settings = HValue::Create();
    if (!settings || !hvSetType(settings.get(), HV_ARRAY | HV_HVAL, 1 + 2 * pairs)) {
        error = "too many parameters";
        return false;
    }
    hvSetElementString(settings.get(), 0, "Generic Config Data v1.00");
    unsigned index = 1;
    for (const ConfigParameter &parameter : config.parameters) {
        hvSetElementString(settings.get(), index++, parameter.name.c_str());
        HValue element;
        hvGetElement(settings.get(), index++, element.put());
        if (!ParseTypedValue(parameter.type, parameter.value, element.get(), error)) return false;
    }
    if (hasScript) {
        hvSetElementString(settings.get(), index++, "VBScript.Code");
        hvSetElementString(settings.get(), index++, script.c_str());
    }
    return true;
}

const std::vector<KnownParameter> &KnownParameters() {
    static const std::vector<KnownParameter> parameters = {
        {"IO.Type", "STR", "None"},
        {"IO.TimeoutMs", "U32", "1000"},
        {"IO.StartOffline", "I32", ""},
        {"IO.ConnectionMode", "U32", ""},
        {"IO.RecoverEnable", "I32", "1"},
        {"IO.RecoverPeriodSec", "U32", "20"},
        {"IO.GiveUpEnable", "I32", ""},
        {"IO.GiveUpTries", "U32", ""},
        {"IO.InactivityEnable", "I32", ""},
        {"IO.InactivityPeriodSec", "U32", ""},
        {"IO.Log.Enable", "I32", ""},
        {"IO.Log.Filename", "STR", "C:\\tvLogs\\Quillon_%DATE%.log"},
        {"IO.Debug", "I32", ""},
        {"IO.Serial.Port", "U32", "1"},
        {"IO.Serial.Baudrate", "U32", "9600"},
        {"IO.Serial.DataBits", "U32", "8"},
        {"IO.Serial.StopBits", "U32", "0"},
        {"IO.Serial.Parity", "U32", "0"},
        {"IO.Serial.RTS", "I32", ""},
        {"IO.Serial.DTR", "I32", ""},
        {"IO.Serial.DelayBeforeMs", "U32", ""},
        {"IO.Serial.DelayAfterMs", "U32", ""},
        {"IO.Serial.CTSTimeoutMs", "U32", ""},
        {"IO.Serial.WaitCTS", "I32", ""},
        {"IO.Serial.InterbyteDelayUs", "U32", ""},
        {"IO.Serial.InterframeDelayMs", "U32", ""},
        {"IO.Serial.SupressEcho", "I32", ""},
        {"IO.TAPI.AcceptIncoming", "I32", ""},
        {"IO.TAPI.PhoneNumber", "STR", ""},
        {"IO.TAPI.ModemID", "U32", ""},
        {"IO.Ethernet.MainIP", "STR", ""},
        {"IO.Ethernet.MainPort", "U32", ""},
        {"IO.Ethernet.MainLocalPortEnable", "I32", ""},
        {"IO.Ethernet.MainLocalPort", "U32", ""},
        {"IO.Ethernet.BackupEnable", "I32", ""},
        {"IO.Ethernet.BackupIP", "STR", ""},
        {"IO.Ethernet.BackupPort", "U32", ""},
        {"IO.Ethernet.BackupLocalPortEnable", "I32", ""},
        {"IO.Ethernet.BackupLocalPort", "U32", ""},
        {"IO.Ethernet.PingEnable", "I32", ""},
        {"IO.Ethernet.PingTimeoutMs", "U32", ""},
        {"IO.Ethernet.PingTries", "U32", ""},
        {"IO.Ethernet.Transport", "STR", ""},
        {"IO.Ethernet.AcceptConnection", "I32", ""},
        {"IO.Ethernet.ListenPort", "U32", ""},
        {"IO.Ethernet.ListenIP", "STR", ""},
        {"IO.Ethernet.ShareListenPort", "I32", ""},
        {"IO.Ethernet.SupressEcho", "I32", ""},
        {"IO.Ethernet.UDP.BroadcastMode", "I32", ""},
        {"IO.Ethernet.UseIPv6", "I32", ""},
        {"IO.RAS.ATCommand", "STR", ""},
        {"IO.RAS.CommandTimeoutSec", "U32", ""},
        {"VBScript.TimeLimitSec", "U32", "", "30"},
    };
    return parameters;
}

} // namespace quillon

#include "config/ConfigData.h"

#include "config/ConfigParameters.h"
#include "log/ValueText.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace quillon {

namespace {

std::string Format(const char *format, ...) QUILLON_PRINTF(1, 2);

std::string Format(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        _vsnprintf(&text[0], text.size(), format, arguments);
        text.resize(static_cast<size_t>(length));
    }
    va_end(arguments);
    return text;
}

bool IsEmpty(const char *name) { return name == nullptr || *name == '\0'; }

} // namespace

CConfigData::CConfigData(CIOGlobals *globals) : IOApi(globals) {}

// Upper case of the current code page, so that lookups treat letter case as
// the host's users do.
std::string CConfigData::IndexKey(const char *name) {
    std::string key(name);
    if (!key.empty()) CharUpperBuffA(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

void CConfigData::Clear() { index_.clear(); }

CConfigParameter *CConfigData::Find(const char *name) const {
    if (name == nullptr) return nullptr;
    auto found = index_.find(IndexKey(name));
    return found == index_.end() ? nullptr : found->second.get();
}

CConfigParameter *CConfigData::FindOrCreate(const char *name) {
    if (name == nullptr) return nullptr;
    try {
        std::string key = IndexKey(name);
        auto found = index_.find(key);
        if (found != index_.end()) return found->second.get();
        HValue value(hvCreate());
        if (!value) return nullptr;
        auto parameter = std::make_unique<CConfigParameter>(name, std::move(value));
        CConfigParameter *result = parameter.get();
        index_.emplace(std::move(key), std::move(parameter));
        return result;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool CConfigData::LoadFromValue(HVALUE h) {
    Clear();
    if (h == nullptr || hvGetType(h) != (HV_ARRAY | HV_HVAL)) return false;
    const unsigned count = hvGetCount(h);
    const char *header = nullptr;
    if (count < 1 || !hvGetElementString(h, 0, &header) || std::strcmp(header, Header) != 0)
        return false;
    try {
        for (unsigned i = 1; i + 1 < count; i += 2) {
            const char *name = nullptr;
            if (!hvGetElementString(h, i, &name)) continue;
            HValue element;
            if (!hvGetElement(h, i + 1, element.put()) || !element) continue;
            HValue copy(hvDuplicate(element.get()));
            if (!copy) {
                Clear();
                return false;
            }
            // A later pair with the same name replaces the earlier one.
            index_[IndexKey(name)] = std::make_unique<CConfigParameter>(name, std::move(copy));
        }
    } catch (const std::bad_alloc &) {
        Clear();
        return false;
    }
    return true;
}

bool CConfigData::SaveToValue(HVALUE h) const {
    if (h == nullptr) return false;
    // A failed save leaves a null value, never an older or partial form
    // that a host could store as the current settings.
    const size_t elements = 2 * index_.size() + 1;
    bool ok = elements <= HV_MAX_COUNT && hvSetType(h, HV_ARRAY | HV_HVAL, static_cast<unsigned>(elements)) &&
              hvSetElementString(h, 0, Header);
    unsigned i = 1;
    for (auto it = index_.begin(); ok && it != index_.end(); ++it, i += 2) {
        const CConfigParameter &parameter = *it->second;
        HValue element;
        ok = hvSetElementString(h, i, parameter.Name().c_str()) && hvGetElement(h, i + 1, element.put()) &&
             element && hvCopy(element.get(), parameter.Value());
    }
    if (!ok) hvSetNull(h);
    return ok;
}

bool CConfigData::AdoptSettings(HVALUE h, const std::function<void(CConfigData &)> &driverDefaults) {
    LoadFromValue(h);
    if (Count() == 0) {
        SetGenericDefaults();
        driverDefaults(*this);
        return SaveToValue(h);
    }
    if (Find(param::LegacyTimeout) == nullptr) return false;
    ApplyLegacyRenames();
    return SaveToValue(h);
}

int32_t CConfigData::GetI32(const char *name, int32_t defaultValue) const {
    const CConfigParameter *parameter = Find(name);
    int32_t value = 0;
    return parameter && hvGetI32(parameter->Value(), &value) ? value : defaultValue;
}

uint32_t CConfigData::GetU32(const char *name, uint32_t defaultValue) const {
    const CConfigParameter *parameter = Find(name);
    uint32_t value = 0;
    return parameter && hvGetU32(parameter->Value(), &value) ? value : defaultValue;
}

std::string CConfigData::GetString(const char *name, const char *defaultValue) const {
    const CConfigParameter *parameter = Find(name);
    const char *text = nullptr;
    if (parameter && hvGetString(parameter->Value(), &text) && text) return text;
    return defaultValue ? defaultValue : "";
}

bool CConfigData::SetI32(const char *name, int32_t value) {
    CConfigParameter *parameter = FindOrCreate(name);
    return parameter && hvSetI32(parameter->Value(), value);
}

bool CConfigData::SetU32(const char *name, uint32_t value) {
    CConfigParameter *parameter = FindOrCreate(name);
    return parameter && hvSetU32(parameter->Value(), value);
}

bool CConfigData::SetString(const char *name, const char *value) {
    CConfigParameter *parameter = FindOrCreate(name);
    return parameter && hvSetString(parameter->Value(), value);
}

bool CConfigData::SetValue(const char *name, HVALUE value) {
    CConfigParameter *parameter = FindOrCreate(name);
    return parameter && hvCopy(parameter->Value(), value);
}

bool CConfigData::DeleteParameter(const char *name) {
    const char *shown = name ? name : "";
    auto found = name ? index_.find(IndexKey(name)) : index_.end();
    if (found == index_.end()) {
        Log(LOG_DRIVER, "DELETE_PARAMETER:  %s (failed, does not exist)", shown);
        return false;
    }
    index_.erase(found);
    Log(LOG_DRIVER, "DELETE_PARAMETER:  %s (success)", shown);
    return true;
}

bool CConfigData::RenameParameter(const char *newName, const char *oldName) {
    if (IsEmpty(newName) || IsEmpty(oldName)) return false;
    const std::string oldKey = IndexKey(oldName);
    // Without the old parameter the new one (if any) stays as it is.
    if (index_.find(oldKey) == index_.end()) return false;
    const std::string newKey = IndexKey(newName);
    // A change of letter case only must not delete the parameter itself.
    if (newKey != oldKey && index_.find(newKey) != index_.end()) DeleteParameter(newName);
    auto node = index_.extract(oldKey);
    node.key() = newKey;
    node.mapped()->name_ = newName;
    index_.insert(std::move(node));
    Log(LOG_DRIVER, "RENAME_PARAMETER:  %s to %s", oldName, newName);
    return true;
}

void CConfigData::ApplyLegacyRenames() {
    for (const param::LegacyRename &rename : param::LegacyRenames) RenameParameter(rename.newName, rename.oldName);
}

bool CConfigData::SetParameters(HVALUE array, std::string &error, std::vector<std::string> &namesSet) {
    if (array == nullptr) {
        error = "NULL HVALUE passed";
        return false;
    }
    const unsigned type = hvGetType(array);
    if (type != (HV_ARRAY | HV_HVAL) && type != (HV_ARRAY | HV_STR)) {
        error = Format("HVALUE is not a valid array (type is %u)", type);
        return false;
    }
    const unsigned count = hvGetCount(array);
    unsigned i = 0;
    while (i < count) {
        HValue element;
        if (!hvGetElement(array, i, element.put()) || !element) {
            error = Format("Failed acessing array element %u", i);
            return false;
        }
        const unsigned elementType = hvGetType(element.get());
        if (elementType == HV_NULL) {
            ++i;
        } else if (elementType == HV_STR) {
            const char *text = nullptr;
            if (!hvGetString(element.get(), &text) || text == nullptr) {
                error = Format("Error getting string at element %u", i);
                return false;
            }
            const std::string name = text;
            if (i + 1 >= count) {
                error = Format("Array ended after string '%s' (element %u)", name.c_str(), i);
                return false;
            }
            HValue value;
            if (!hvGetElement(array, i + 1, value.put()) || !value) {
                error = Format("Failed getting value of parameter '%s' (element %u)", name.c_str(), i + 1);
                return false;
            }
            if (!SetValue(name.c_str(), value.get())) {
                error = Format("Failed setting property '%s'", name.c_str());
                return false;
            }
            Log(LOG_DRIVER, "SET_PARAMETER: %s = %s", name.c_str(), ValueToText(value.get()).c_str());
            namesSet.push_back(name);
            i += 2;
        } else if (elementType & HV_ARRAY) {
            std::string nestedError;
            if (!SetParameters(element.get(), nestedError, namesSet)) {
                error = Format("[element %u] %s", i, nestedError.c_str());
                return false;
            }
            ++i;
        } else {
            error = Format("Element %u type is %u", i, elementType);
            return false;
        }
    }
    return true;
}

void CConfigData::LogConfiguration() const {
    // None of it would reach a file: the values' texts (the script's among
    // them) are not built.
    if (!Logger()->IsWriting()) return;
    Log(LOG_DRIVER, "Current configuration (%u parameters):", static_cast<unsigned>(index_.size()));
    std::vector<const CConfigParameter *> sorted;
    sorted.reserve(index_.size());
    for (const auto &entry : index_)
        if (entry.second->Value()) sorted.push_back(entry.second.get());
    // Same order as the host shows; the byte order only settles names the
    // host's comparison finds equal, so that the dump does not depend on
    // the hash order.
    std::sort(sorted.begin(), sorted.end(), [](const CConfigParameter *a, const CConfigParameter *b) {
        const int byCase = lstrcmpiA(a->Name().c_str(), b->Name().c_str());
        return byCase != 0 ? byCase < 0 : a->Name() < b->Name();
    });
    unsigned zeros = 0;
    for (const CConfigParameter *parameter : sorted) {
        const std::string text = ValueToText(parameter->Value());
        if (text == "0")
            ++zeros;
        else
            Log(LOG_DRIVER, "  - %s = %s", parameter->Name().c_str(), text.c_str());
    }
    if (zeros > 0) Log(LOG_DRIVER, "  - %u parameters with value = 0 were omitted", zeros);
}

// COM1 at 9600 baud, 8 data bits, no parity, one stop bit.
void CConfigData::SetSerialDefaults() {
    SetU32(param::SerialPort, 1);
    SetU32(param::SerialBaudrate, 9600);
    SetU32(param::SerialDataBits, 8);
    SetU32(param::SerialParity, 0);
    SetU32(param::SerialStopBits, 0);
}

void CConfigData::SetGenericDefaults() {
    Clear();
    SetU32(param::TimeoutMs, 2000);
    SetI32(param::RecoverEnable, 1);
    SetU32(param::RecoverPeriodSec, 20);
    SetSerialDefaults();
}

void CConfigData::SetDriverDefaults() {
    SetString(param::Type, "None");
    SetSerialDefaults();
    SetU32(param::TimeoutMs, 1000);
    SetString(param::LogFilename, "C:\\tvLogs\\Quillon_%DATE%.log");
}

} // namespace quillon

// The driver's configuration: named parameters, each holding a value of the
// host's value library, saved into and loaded from the host's settings handle.
#pragma once

#include "log/IOGlobals.h"
#include "values/HValue.h"
#include "values/hvcore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon {

// One parameter: its name as first given and the value it owns.
class CConfigParameter {
public:
    CConfigParameter(std::string name, HValue value)
        : name_(std::move(name)), value_(std::move(value)) {}

    const std::string &Name() const { return name_; }
    HVALUE Value() const { return value_.get(); }

private:
    friend class CConfigData;
    std::string name_;
    HValue value_;
};

class CConfigData : public IOApi {
public:
    // Element 0 of the saved form.
    static constexpr const char *Header = "Generic Config Data v1.00";

    explicit CConfigData(CIOGlobals *globals);

    // Replaces the content with the saved form in h. Pairs that cannot be
    // read are skipped; fails, leaving the store empty, when h is not a saved
    // form or memory runs out.
    bool LoadFromValue(HVALUE h);
    // Writes the saved form into h; on failure h is made null.
    bool SaveToValue(HVALUE h) const;
    // The settings handle has arrived: loads it, gives an empty configuration
    // the defaults and brings a legacy one up to date. Returns true when h
    // was written back.
    // driverDefaults adds the driver's own defaults after the generic ones.
    bool AdoptSettings(HVALUE h, const std::function<void(CConfigData &)> &driverDefaults);

    void Clear();
    size_t Count() const { return index_.size(); }
    // Names are looked up without regard to letter case.
    CConfigParameter *Find(const char *name) const;
    // Null when the name is null or no value can be created.
    CConfigParameter *FindOrCreate(const char *name);

    int32_t GetI32(const char *name, int32_t defaultValue) const;
    uint32_t GetU32(const char *name, uint32_t defaultValue) const;
    std::string GetString(const char *name, const char *defaultValue) const;

    bool SetI32(const char *name, int32_t value);
    bool SetU32(const char *name, uint32_t value);
    bool SetString(const char *name, const char *value);
    // Stores a copy of value.
    bool SetValue(const char *name, HVALUE value);

    bool DeleteParameter(const char *name);
    // Keeps the value; a parameter already under newName is deleted.
    bool RenameParameter(const char *newName, const char *oldName);
    void ApplyLegacyRenames();

    // Applies an array of name/value pairs (nested arrays are applied in
    // turn). Parameters set before an error stay set; the names set are
    // appended to namesSet in order.
    bool SetParameters(HVALUE array, std::string &error, std::vector<std::string> &namesSet);

    void LogConfiguration() const;

    void SetGenericDefaults();
    void SetDriverDefaults();

private:
    static std::string IndexKey(const char *name);
    void SetSerialDefaults();

    std::unordered_map<std::string, std::unique_ptr<CConfigParameter>> index_;
};

} // namespace quillon

// Loads Quillon.dll from beside the test program the way a host does, and
// helpers to read its log.
#pragma once

#include "driver/ComUtil.h"
#include "host/DriverLibrary.h"
#include "tests/support/TestFiles.h"
#include "values/HValue.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace quillon::test {

// Every test gets a freshly loaded library, so the process-wide driver
// object starts anew.
struct TestDriverLibrary : DriverLibrary {
    void Load() {
        std::string error;
        ASSERT_TRUE(DriverLibrary::Load("Quillon.dll", error)) << error;
    }
};

// A settings value in the driver's saved form.
class Settings {
public:
    Settings &String(const char *name, const std::string &value) {
        strings_.emplace_back(name, value);
        return *this;
    }
    Settings &Int(const char *name, int32_t value) {
        numbers_.emplace_back(name, value);
        return *this;
    }
    HValue Make() const {
        HValue settings = HValue::Create();
        hvSetType(settings.get(), HV_ARRAY | HV_HVAL, static_cast<unsigned>(1 + 2 * (strings_.size() + numbers_.size())));
        hvSetElementString(settings.get(), 0, "Generic Config Data v1.00");
        unsigned index = 1;
        for (const auto &parameter : strings_) {
            hvSetElementString(settings.get(), index++, parameter.first.c_str());
            hvSetElementString(settings.get(), index++, parameter.second.c_str());
        }
        for (const auto &parameter : numbers_) {
            hvSetElementString(settings.get(), index++, parameter.first.c_str());
            hvSetElementI32(settings.get(), index++, parameter.second);
        }
        return settings;
    }

private:
    std::vector<std::pair<std::string, std::string>> strings_;
    std::vector<std::pair<std::string, int32_t>> numbers_;
};

// The messages of a log file: each line without its date, time and thread,
// as "CATEGORY\tmessage".
inline std::vector<std::string> LogMessages(const std::string &path) {
    const std::string content = ReadWholeFile(path);
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(start, end - start);
        const size_t header = line.find(") ");
        if (line.size() > 24 && line[2] == '/' && header != std::string::npos) messages.push_back(line.substr(header + 2));
        start = end + 2;
    }
    return messages;
}

inline bool Contains(const std::vector<std::string> &messages, const std::string &wanted) {
    for (const std::string &message : messages)
        if (message == wanted) return true;
    return false;
}

} // namespace quillon::test

// The command-line host's configuration file: an INI file whose parameters
// carry their value type explicitly, turned into the driver's settings value.
//
//   [Parameters]
//   IO.Type         = STR None
//   IO.TimeoutMs    = U32 1000
//   IO.Log.Enable   = I32 1
//   IO.Log.Filename = STR "C:\logs\quillon %DATE%.log"
//
//   [Script]
//   File = meter.vbs        ; relative to the configuration file; becomes VBScript.Code
//
// Types: I8 U8 I16 U16 I32 U32 R32 R64 STR. A STR value may be written in
// double quotes to keep leading or trailing spaces. Lines starting with ';'
// or '#' are comments.
#pragma once

#include "values/HValue.h"

#include <string>
#include <vector>

namespace quillon {

struct ConfigParameter {
    std::string name;
    std::string type;   // one of the type names above
    std::string value;  // as written, quotes removed
};

struct ConfigFile {
    std::vector<ConfigParameter> parameters;
    std::string scriptFile;  // resolved path, empty when none
};

// False with "file:line: reason" for the first error.
bool ReadConfigFile(const std::string &path, ConfigFile &config, std::string &error);

// Checks a type name and a value text; false with a reason.
bool ParseTypedValue(const std::string &type, const std::string &text, HVALUE target, std::string &error);

// The settings value in the driver's saved form; the script file's text goes
// into VBScript.Code. False with a reason when a value or the script cannot be
// read.
bool MakeSettingsValue(const ConfigFile &config, HValue &settings, std::string &error);

// Writes settings (the driver's saved form) back as the configuration file
// path: every parameter with its type, in the settings' order; the script
// (VBScript.Code) goes into original's script file, or into path with the
// extension .vbs when original names none. Values of a type the file cannot
// hold (lists, times, arrays) are refused with a reason before anything is
// written.
bool WriteConfigFile(const std::string &path, const ConfigFile &original, HVALUE settings, std::string &error);

// Reads a whole file; false when it cannot be opened.
bool ReadTextFile(const std::string &path, std::string &text);

// Every parameter the driver knows, with its type and the value of a fresh
// configuration (empty when a fresh configuration does not hold it), and
// for some that a fresh configuration does not hold, the value the driver
// takes when it is absent.
struct KnownParameter {
    const char *name;
    const char *type;
    const char *fresh;
    const char *absent = "";
};
const std::vector<KnownParameter> &KnownParameters();

} // namespace quillon

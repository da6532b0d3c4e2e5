// The script driver's own page: the script text (VBScript.Code) and a
// compile check that runs nothing.
#pragma once

#include "ui/PropertyPage.h"

namespace quillon {

class CIOGlobals;

class CVBScriptPropertyPage : public CPropertyPage {
public:
    CVBScriptPropertyPage(CIOGlobals *globals, CConfigData &config);

protected:
    void Initialise() override;
    void Load() override;
    bool Store() override;
    bool OnCommand(int id, int code) override;

private:
    // Compiles the text with an engine of its own and reports the first
    // error, selecting its line.
    void CheckScript();

    CIOGlobals *globals_;
    std::string script_;
};

// The edit box holds at most this many characters.
constexpr unsigned SCRIPT_TEXT_LIMIT = 1000000;

} // namespace quillon

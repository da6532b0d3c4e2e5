// The script driver's own page: the script text (VBScript.Code), the time
// limit of a script call (VBScript.TimeLimitSec) and a compile check that
// runs nothing.
#pragma once

#include "ui/PropertyPage.h"

#include <memory>
#include <type_traits>

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
    struct FontDeleter {
        void operator()(HFONT font) const { DeleteObject(font); }
    };
    using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

    // Compiles the text with an engine of its own and reports the first
    // error, selecting its line.
    void CheckScript();
    // The script edit's procedure: as the edit's own, except that the
    // dialog manager is not offered to select the whole text when the edit
    // gets the focus (one key would replace the script).
    static LRESULT CALLBACK ScriptEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);

    CIOGlobals *globals_;
    std::string script_;
    WNDPROC editProc_ = nullptr;
    // The script edit's fixed-pitch font; it outlives the page's window.
    UniqueFont codeFont_;
};

// The edit box holds at most this many characters.
constexpr unsigned SCRIPT_TEXT_LIMIT = 1000000;

} // namespace quillon

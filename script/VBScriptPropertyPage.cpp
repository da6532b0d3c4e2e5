#include "script/VBScriptPropertyPage.h"

#include "config/ConfigData.h"
#include "config/ConfigParameters.h"
#include "script/VBScriptEngine.h"
#include "ui/SettingsResource.h"

#include <cstdio>

namespace quillon {
namespace {

const char CHECK_TITLE[] = "Verify Script";

} // namespace

CVBScriptPropertyPage::CVBScriptPropertyPage(CIOGlobals *globals, CConfigData &config)
    : CPropertyPage(IDD_SCRIPT_PAGE, config), globals_(globals) {}

void CVBScriptPropertyPage::Initialise() {
    HWND edit = Control(IDC_SCRIPT_TEXT);
    SendMessageW(edit, EM_LIMITTEXT, SCRIPT_TEXT_LIMIT, 0);
    // Code reads best in a fixed-pitch font of the page font's size; the
    // rest of the page keeps the template's font.
    LOGFONTW font = {};
    HFONT pageFont = reinterpret_cast<HFONT>(SendMessageW(Window(), WM_GETFONT, 0, 0));
    if (!pageFont || !GetObjectW(pageFont, sizeof font, &font)) font.lfHeight = -11;
    font.lfWeight = FW_NORMAL;
    font.lfItalic = FALSE;
    font.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    lstrcpynW(font.lfFaceName, L"Courier New", LF_FACESIZE);
    codeFont_.reset(CreateFontIndirectW(&font));
    if (codeFont_) SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(codeFont_.get()), FALSE);
    SetWindowLongPtrW(edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    editProc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CVBScriptPropertyPage::ScriptEditProc)));
}

LRESULT CALLBACK CVBScriptPropertyPage::ScriptEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
    auto *page = reinterpret_cast<CVBScriptPropertyPage *>(GetWindowLongPtrW(edit, GWLP_USERDATA));
    const LRESULT result = CallWindowProcW(page->editProc_, edit, message, wParam, lParam);
    return message == WM_GETDLGCODE ? result & ~static_cast<LRESULT>(DLGC_HASSETSEL) : result;
}

void CVBScriptPropertyPage::Load() {
    script_.clear();
    if (const CConfigParameter *code = Config().Find(param::VBScriptCode)) {
        const char *text = nullptr;
        if (hvGetString(code->Value(), &text) && text) script_ = text;
    }
    SetText(IDC_SCRIPT_TEXT, script_);
    // The caret at the start, nothing selected.
    SendMessageW(Control(IDC_SCRIPT_TEXT), EM_SETSEL, 0, 0);
    SetUnsigned(IDC_SCRIPT_TIME_LIMIT, Config().GetU32(param::VBScriptTimeLimitSec, param::VBScriptTimeLimitDefaultSec));
}

bool CVBScriptPropertyPage::Store() {
    std::optional<uint32_t> limit;
    if (!ReadUnsigned(IDC_SCRIPT_TIME_LIMIT, "Time limit of a script call", 0, param::VBScriptTimeLimitMostSec, limit))
        return false;
    StoreUnsigned(param::VBScriptTimeLimitSec, limit);
    script_ = Text(IDC_SCRIPT_TEXT);
    CConfigParameter *code = Config().FindOrCreate(param::VBScriptCode);
    if (code) hvSetString(code->Value(), script_.c_str());
    return true;
}

void CVBScriptPropertyPage::CheckScript() {
    // A field in error has been shown; the check waits for it to be right.
    if (!Store()) return;
    HWND edit = Control(IDC_SCRIPT_TEXT);
    std::string message;
    ComPtr<CVBScriptEngine> engine;
    // An engine made without the VBScript class (COM not initialised on
    // this thread, engine not registered) cannot compile anything: that is
    // a failure to create it, not a compile error.
    if (FAILED(CVBScriptEngine::Create(globals_, engine.put()))) {
        message = "ERROR: Failed to create VBScriptEngine object";
    } else {
        if (FAILED(engine->ParseScript(script_.c_str()))) {
            const unsigned line = engine->LastErrorLine(), column = engine->LastErrorColumn();
            if (line > 0 && column > 0) {
                const LRESULT start = SendMessageW(edit, EM_LINEINDEX, line - 1, 0);
                LRESULT end = SendMessageW(edit, EM_LINEINDEX, line, 0);
                // The last line has no next line: select to the end.
                if (end < 0) end = GetWindowTextLengthW(edit);
                if (start >= 0) {
                    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), start);
                    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
                }
            }
            char text[1024];
            snprintf(text, sizeof text, "Error compiling script:\r\nLine %u, Col %u: %s!", line, column,
                     engine->LastErrorText().c_str());
            message = text;
        } else {
            MessageBoxA(Window(), "No errors found", CHECK_TITLE, MB_OK);
        }
        engine->Close();
    }
    if (!message.empty()) {
        MessageBoxA(Window(), message.c_str(), CHECK_TITLE, MB_OK);
        SetFocus(edit);
    }
}

bool CVBScriptPropertyPage::OnCommand(int id, int code) {
    if (id == IDC_SCRIPT_CHECK && code == BN_CLICKED) {
        CheckScript();
        return true;
    }
    return false;
}

} // namespace quillon

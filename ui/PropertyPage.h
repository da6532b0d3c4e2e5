// A page of the settings sheet: a dialog template of this module whose
// controls are loaded from and stored into the configuration store.
//
// A page loads when it is created and again whenever it becomes the active
// page after that; it stores when it stops being active and when the sheet
// is accepted. A store that fails (bad input) keeps the page active, shows
// why, and writes nothing.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

class CConfigData;

class CPropertyPage {
public:
    CPropertyPage(UINT templateId, CConfigData &config);
    CPropertyPage(const CPropertyPage &) = delete;
    CPropertyPage &operator=(const CPropertyPage &) = delete;
    virtual ~CPropertyPage() = default;

    // The sheet's description of this page. accepted receives, at every
    // acceptance attempt, whether this page stored its controls.
    PROPSHEETPAGEW Describe(bool *accepted);
    HWND Window() const { return window_; }

protected:
    // Fills the combo-box item lists; called before the first load.
    virtual void Initialise() {}
    virtual void Load() = 0;
    // False (after telling the user) when a control holds bad input; then
    // nothing has been written.
    virtual bool Store() = 0;
    virtual void UpdateControls() {}
    // A control's notification; true when handled.
    virtual bool OnCommand(int id, int code) {
        (void)id;
        (void)code;
        return false;
    }

    CConfigData &Config() const { return config_; }
    HWND Control(int id) const { return GetDlgItem(window_, id); }

    bool Checked(int id) const;
    void SetChecked(int id, bool checked);
    std::string Text(int id) const;
    void SetText(int id, const std::string &text);
    void Enable(int id, bool enabled);
    void Enable(std::initializer_list<int> ids, bool enabled);
    // Fills a combo box with the '|'-separated items of a string resource.
    void FillCombo(int id, UINT itemsId);
    int Selection(int id) const;
    void Select(int id, int index);

    // Reads an unsigned decimal edit in [low, high]. Text that is no such
    // number (letters, a sign, above the 32-bit range, empty) is refused
    // with a message naming the field; a number outside [low, high] with
    // the range message. The control then has the focus. A disabled edit
    // is not read (value stays empty): the user cannot correct it, so the
    // stored value it shows is kept.
    bool ReadUnsigned(int id, const char *field, uint32_t low, uint32_t high, std::optional<uint32_t> &value);
    // Stores a number read by ReadUnsigned, when one was read.
    void StoreUnsigned(const char *name, const std::optional<uint32_t> &value);
    void SetUnsigned(int id, uint32_t value);

    // A message box titled with the driver's name.
    int Message(const std::string &text, UINT flags) const;
    int Message(const std::wstring &text, UINT flags) const;
    // Stores the page and re-evaluates its enabled controls (the control
    // handlers' common step).
    void StoreAndUpdate();

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnNotify(const NMHDR &header);

    UINT templateId_;
    CConfigData &config_;
    HWND window_ = nullptr;
    bool *accepted_ = nullptr;
    bool activated_ = false;
};

} // namespace quillon

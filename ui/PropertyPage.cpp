#include "ui/PropertyPage.h"

#include "base/DriverInterfaces.h"
#include "base/Module.h"
#include "config/ConfigData.h"

#include <cstdio>

namespace quillon {

CPropertyPage::CPropertyPage(UINT templateId, CConfigData &config) : templateId_(templateId), config_(config) {}

PROPSHEETPAGEW CPropertyPage::Describe(bool *accepted) {
    accepted_ = accepted;
    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_DEFAULT;
    page.hInstance = ThisModule();
    page.pszTemplate = MAKEINTRESOURCEW(templateId_);
    page.pfnDlgProc = DialogProc;
    page.lParam = reinterpret_cast<LPARAM>(this);
    return page;
}

INT_PTR CALLBACK CPropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CPropertyPage *page;
    if (message == WM_INITDIALOG) {
        page = reinterpret_cast<CPropertyPage *>(reinterpret_cast<PROPSHEETPAGEW *>(lParam)->lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
        page->window_ = window;
        page->Initialise();
        page->Load();
        page->UpdateControls();
        return TRUE;
    }
    page = reinterpret_cast<CPropertyPage *>(GetWindowLongPtrW(window, DWLP_USER));
    if (!page) return FALSE;
    switch (message) {
    case WM_COMMAND:
        return page->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_NOTIFY:
        return page->OnNotify(*reinterpret_cast<const NMHDR *>(lParam));
    case WM_DESTROY:
        page->window_ = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CPropertyPage::OnNotify(const NMHDR &header) {
    switch (header.code) {
    case PSN_SETACTIVE:
        // Another page may have changed what this one shows (IO.Type).
        if (activated_) Load();
        activated_ = true;
        UpdateControls();
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
        return TRUE;
    case PSN_KILLACTIVE:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, Store() ? FALSE : TRUE);
        return TRUE;
    case PSN_APPLY: {
        // The sheet stops at the first page that refuses, so the last
        // answer tells whether the whole sheet was accepted.
        const bool stored = Store();
        if (accepted_) *accepted_ = stored;
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, stored ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

bool CPropertyPage::Checked(int id) const { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }

void CPropertyPage::SetChecked(int id, bool checked) { CheckDlgButton(window_, id, checked ? BST_CHECKED : BST_UNCHECKED); }

std::string CPropertyPage::Text(int id) const {
    HWND control = Control(id);
    const int length = GetWindowTextLengthW(control);
    if (length <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, &wide[0], length + 1);
    wide.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    // The store keeps text in the thread's ANSI code page, as the script
    // engine reads it; characters outside it become the code page's
    // replacement character.
    const int bytes =
        WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], bytes, nullptr, nullptr);
    return text;
}

void CPropertyPage::SetText(int id, const std::string &text) {
    const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    if (length > 0) MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, &wide[0], length);
    SetWindowTextW(Control(id), wide.c_str());
}

void CPropertyPage::Enable(int id, bool enabled) { EnableWindow(Control(id), enabled ? TRUE : FALSE); }

void CPropertyPage::Enable(std::initializer_list<int> ids, bool enabled) {
    for (int id : ids) Enable(id, enabled);
}

void CPropertyPage::FillCombo(int id, UINT itemsId) {
    const wchar_t *items = nullptr;
    const int length = LoadStringW(ThisModule(), itemsId, reinterpret_cast<LPWSTR>(&items), 0);
    HWND combo = Control(id);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    std::wstring all(items ? items : L"", static_cast<size_t>(length > 0 ? length : 0));
    size_t start = 0;
    while (start <= all.size() && !all.empty()) {
        size_t end = all.find(L'|', start);
        if (end == std::wstring::npos) end = all.size();
        const std::wstring item = all.substr(start, end - start);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        start = end + 1;
    }
}

int CPropertyPage::Selection(int id) const { return static_cast<int>(SendMessageW(Control(id), CB_GETCURSEL, 0, 0)); }

void CPropertyPage::Select(int id, int index) { SendMessageW(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

bool CPropertyPage::ReadUnsigned(int id, const char *field, uint32_t low, uint32_t high,
                                 std::optional<uint32_t> &value) {
    value.reset();
    if (!IsWindowEnabled(Control(id))) return true;
    const std::string text = Text(id);
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    bool number = first != std::string::npos;
    unsigned long long parsed = 0;
    for (size_t i = first; number && i <= last; ++i) {
        if (text[i] < '0' || text[i] > '9' || parsed > 0xFFFFFFFFull) {
            number = false;
            break;
        }
        parsed = parsed * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (number && parsed > 0xFFFFFFFFull) number = false;
    char message[256];
    if (!number) {
        snprintf(message, sizeof message, "%s: enter a whole number between %u and %u.", field, low, high);
    } else if (parsed < low || parsed > high) {
        snprintf(message, sizeof message, "Enter an integer between %u and %u.", low, high);
        number = false;
    }
    if (!number) {
        Message(message, MB_OK | MB_ICONEXCLAMATION);
        SetFocus(Control(id));
        SendMessageW(Control(id), EM_SETSEL, 0, -1);
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

void CPropertyPage::SetUnsigned(int id, uint32_t value) { SetText(id, std::to_string(value)); }

void CPropertyPage::StoreUnsigned(const char *name, const std::optional<uint32_t> &value) {
    if (value) config_.SetU32(name, *value);
}

int CPropertyPage::Message(const std::string &text, UINT flags) const {
    return MessageBoxA(window_, text.c_str(), DRIVER_TITLE, flags);
}

int CPropertyPage::Message(const std::wstring &text, UINT flags) const {
    wchar_t title[64] = L"";
    MultiByteToWideChar(CP_ACP, 0, DRIVER_TITLE, -1, title, 64);
    return MessageBoxW(window_, text.c_str(), title, flags);
}

void CPropertyPage::StoreAndUpdate() {
    Store();
    UpdateControls();
}

} // namespace quillon

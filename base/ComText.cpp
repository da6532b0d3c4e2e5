#include "base/ComText.h"

namespace quillon {

std::string NarrowFromWide(const wchar_t *text) {
    if (!text || !*text) return std::string();
    // Sized by a first pass: one character may take several bytes.
    int size = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

BSTR AllocBstr(const char *text) {
    if (!text) text = "";
    int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return SysAllocString(L"");
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result) MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, result, length);
    return result;
}

} // namespace quillon

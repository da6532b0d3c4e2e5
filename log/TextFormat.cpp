#include "log/TextFormat.h"

#include <cstdio>

namespace quillon {

void AppendFormatV(std::string &text, const char *format, va_list arguments) {
    // Formatted once into the stack when it fits, as nearly every line does.
    char room[512];
    va_list again;
    va_copy(again, arguments);
    const int fitted = _vsnprintf(room, sizeof room, format, arguments);
    if (fitted >= 0 && static_cast<size_t>(fitted) < sizeof room) {
        text.append(room, static_cast<size_t>(fitted));
    } else {
        va_list measure;
        va_copy(measure, again);
        const int length = _vscprintf(format, measure);
        va_end(measure);
        if (length > 0) {
            const size_t at = text.size();
            text.resize(at + static_cast<size_t>(length) + 1);
            _vsnprintf(&text[at], static_cast<size_t>(length) + 1, format, again);
            text.resize(at + static_cast<size_t>(length));
        }
    }
    va_end(again);
}

void AppendFormat(std::string &text, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    AppendFormatV(text, format, arguments);
    va_end(arguments);
}

std::string FormatTextV(const char *format, va_list arguments) {
    std::string text;
    AppendFormatV(text, format, arguments);
    return text;
}

} // namespace quillon

// printf-style formatting into std::string, of any length.
#pragma once

#include "log/IOLogger.h"

#include <cstdarg>
#include <string>

namespace quillon {

// Appends the formatted text to text.
void AppendFormatV(std::string &text, const char *format, va_list arguments);
void AppendFormat(std::string &text, const char *format, ...) QUILLON_PRINTF(2, 3);

std::string FormatTextV(const char *format, va_list arguments);

} // namespace quillon

// Text forms of values, tags and driver requests for the log and for
// scripts. Everything is built in fixed buffers on the caller's stack: these
// run on every request, often while the logger is busy.
#pragma once

#include "base/DriverRequest.h"
#include "base/TagInfo.h"
#include "log/IOLogger.h"
#include "values/hvcore.h"

#include <cstddef>
#include <string>

namespace quillon {

// Builder flags: the plain form leaves out the "(quality; time) " prefix.
constexpr unsigned TEXT_FULL = 0;
constexpr unsigned TEXT_PLAIN = 1;

constexpr unsigned kValueTextCapacity = 2047;
constexpr unsigned kRequestTextCapacity = 1023;
constexpr unsigned kTagInfoTextCapacity = 1023;

using ValueTextBuffer = char[kValueTextCapacity + 1];
using RequestTextBuffer = char[kRequestTextCapacity + 1];
using TagInfoTextBuffer = char[kTagInfoTextCapacity + 1];

// Appends into a caller's buffer of capacity + 1 chars. Appends copy what
// fits; once the room is used up they are refused (return false) so that the
// caller stops building. A text that filled the room ends in "...".
class TextBuilder {
public:
    TextBuilder(char *text, unsigned capacity, unsigned flags);
    TextBuilder(const TextBuilder &) = delete;
    TextBuilder &operator=(const TextBuilder &) = delete;

    bool Append(const char *text);
    bool Append(const char *text, size_t length);
    // UTF-16 text in the thread's code page.
    bool AppendWide(const wchar_t *text);
    bool Format(const char *format, ...) QUILLON_PRINTF(2, 3);

    bool FullForm() const { return (flags_ & TEXT_PLAIN) == 0; }
    // Today's date, found when the first time is written: times of that day
    // omit it.
    const hvCalendar &ReferenceDate() const;
    unsigned Room() const { return room_; }
    const char *Finish();

private:
    char *text_;
    unsigned capacity_;
    unsigned position_ = 0;
    unsigned room_;
    unsigned flags_;
    mutable bool todayKnown_ = false;
    mutable hvCalendar today_{};
};

// "I8", "LIST"... for the element type of an array; "?TYPE?" for others.
const char *TypeName(unsigned type);

// Each returns false when the builder's room ran out.
bool AppendTimeText(TextBuilder &builder, const hvTime &time);
bool AppendValueText(TextBuilder &builder, HVALUE value);
bool AppendTagText(TextBuilder &builder, const wchar_t *device, const wchar_t *item, int16_t n1,
                   uint16_t n2, uint16_t n3, uint16_t n4, IUnknown *tagObject);

// Plain form, as scripts see it.
std::string ValueToText(HVALUE value);
const char *ValueText(HVALUE value, unsigned flags, ValueTextBuffer &out);

// "Tag(...).Operation" and, for writes, the value to write.
const char *RequestText(const DriverRequest &request, HVALUE value, RequestTextBuffer &out);

const char *TagInfoText(const TagInfo &info, const wchar_t *device, const wchar_t *item,
                        TagInfoTextBuffer &out);

} // namespace quillon

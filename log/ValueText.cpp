#include "log/ValueText.h"

#include "values/HValue.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace quillon {

TextBuilder::TextBuilder(char *text, unsigned capacity, unsigned flags)
    : text_(text), capacity_(capacity), room_(capacity), flags_(flags) {
    text_[0] = '\0';
}

const hvCalendar &TextBuilder::ReferenceDate() const {
    if (!todayKnown_) {
        hvTime now{};
        hvGetCurrentTime(&now);
        if (!hvTimeToCalendar(&now, &today_)) today_ = hvCalendar{};
        todayKnown_ = true;
    }
    return today_;
}

bool TextBuilder::Append(const char *text) { return Append(text, std::strlen(text)); }

bool TextBuilder::Append(const char *text, size_t length) {
    if (room_ == 0) return false;
    if (length > room_) length = room_;
    std::memcpy(text_ + position_, text, length);
    position_ += static_cast<unsigned>(length);
    room_ -= static_cast<unsigned>(length);
    text_[position_] = '\0';
    return room_ > 0;
}

bool TextBuilder::AppendWide(const wchar_t *text) {
    if (room_ == 0) return false;
    if (!text || !*text) return true;
    // Characters the code page lacks become its default character, so a tag
    // name outside it still shows whole.
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 1) return true;
    if (static_cast<unsigned>(needed) <= room_ + 1) {
        WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, text_ + position_, needed, nullptr, nullptr);
        position_ += static_cast<unsigned>(needed - 1);
        room_ -= static_cast<unsigned>(needed - 1);
        return room_ > 0;
    }
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &narrow[0], needed, nullptr, nullptr);
    return Append(narrow.data(), static_cast<size_t>(needed - 1));
}

bool TextBuilder::Format(const char *format, ...) {
    if (room_ == 0) return false;
    va_list arguments;
    va_start(arguments, format);
    // Truncated output (-1) still leaves what fitted in place.
    int length = _vsnprintf(text_ + position_, room_, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<unsigned>(length) > room_) length = static_cast<int>(room_);
    position_ += static_cast<unsigned>(length);
    room_ -= static_cast<unsigned>(length);
    text_[position_] = '\0';
    return room_ > 0;
}

const char *TextBuilder::Finish() {
    if (room_ == 0 && capacity_ >= 3) std::memcpy(text_ + position_ - 3, "...", 3);
    return text_;
}

const char *TypeName(unsigned type) {
    static const char *const kNames[] = {"null", "I8",  "U8",  "I16",  "U16",  "I32", "U32",
                                         "R32",  "R64", "STR", "HVAL", "TIME", "LIST"};
    static_assert(sizeof kNames / sizeof kNames[0] == HV_LIST + 1);
    return type <= HV_LIST ? kNames[type] : "?TYPE?";
}

namespace {

bool AppendBody(TextBuilder &builder, HVALUE value);

// Seconds with a fraction, as the value library keeps timestamps, rounded to
// the millisecond.
hvTime TimestampToTime(double seconds) {
    const double rounded = seconds + 0.0005;
    hvTime time{};
    time.seconds = static_cast<uint32_t>(rounded);
    time.milliseconds = static_cast<uint16_t>((rounded - time.seconds) * 1000.0);
    return time;
}

bool AppendPrefix(TextBuilder &builder, HVALUE value) {
    if (!builder.Append("(")) return false;
    const unsigned quality = hvGetQuality(value);
    if (quality != HV_QUALITY_GOOD && !builder.Format("%u; ", quality)) return false;
    if (!AppendTimeText(builder, TimestampToTime(hvGetTimestamp(value)))) return false;
    return builder.Append(") ");
}

bool AppendList(TextBuilder &builder, HVALUE list) {
    if (!builder.Format("list(%u) {", hvListCount(list))) return false;
    hvPosition position = nullptr;
    bool first = true;
    for (HVALUE item = hvListFirst(list, &position); item; item = hvListNext(list, &position)) {
        if (!builder.Append(first ? " " : ", ")) return false;
        first = false;
        if (!AppendValueText(builder, item)) return false;
    }
    return builder.Append(" }");
}

// An element that is a value of its own (HVAL, or a list inside an array).
bool AppendHeldValue(TextBuilder &builder, HVALUE value, unsigned index) {
    HValue element;
    if (!hvGetElement(value, index, element.put()) || !element) return builder.Append("?HVALERR?");
    return AppendBody(builder, element.get());
}

bool AppendElement(TextBuilder &builder, HVALUE value, unsigned type, unsigned index, bool inArray) {
    switch (type) {
    case HV_NULL:
        return builder.Append("null");
    case HV_I8:
    case HV_I16:
    case HV_I32: {
        int32_t number = 0;
        if (!hvGetElementI32(value, index, &number)) return builder.Append("?I32ERR?");
        return builder.Format("%d", number);
    }
    case HV_U8:
    case HV_U16:
    case HV_U32: {
        uint32_t number = 0;
        if (!hvGetElementU32(value, index, &number)) return builder.Append("?U32ERR?");
        return builder.Format("%u", number);
    }
    case HV_R32: {
        float number = 0;
        if (!hvGetElementR32(value, index, &number)) return builder.Append("?R32ERR?");
        return builder.Format("%.7g", static_cast<double>(number));
    }
    case HV_R64: {
        double number = 0;
        if (!hvGetElementR64(value, index, &number)) return builder.Append("?R64ERR?");
        return builder.Format("%.15lg", number);
    }
    case HV_STR: {
        const char *text = nullptr;
        if (!hvGetElementString(value, index, &text)) return builder.Append("?STRERR?");
        return builder.Append("'") && builder.Append(text ? text : "") && builder.Append("'");
    }
    case HV_HVAL:
        return AppendHeldValue(builder, value, index);
    case HV_TIME: {
        hvTime time{};
        if (!hvGetElementTime(value, index, &time)) return builder.Append("?TIMEERR?");
        return AppendTimeText(builder, time);
    }
    case HV_LIST:
        return inArray ? AppendHeldValue(builder, value, index) : AppendList(builder, value);
    default:
        return builder.Append("?TYPE?");
    }
}

bool AppendBody(TextBuilder &builder, HVALUE value) {
    const unsigned type = hvGetType(value);
    if (type < HV_ARRAY) return AppendElement(builder, value, type, 0, false);
    const unsigned elementType = type & ~static_cast<unsigned>(HV_ARRAY);
    const unsigned count = hvGetCount(value);
    if (!builder.Format("array(%u;%s) {", count, TypeName(elementType))) return false;
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0 && !builder.Append(",")) return false;
        if (!AppendElement(builder, value, elementType, i, true)) return false;
    }
    return builder.Append("}");
}

bool IsEmpty(const wchar_t *text) { return !text || !*text; }

const char *OperationName(uint16_t operation) {
    switch (operation) {
    case OP_READ_VALUE: return "ReadValue";
    case OP_WRITE_VALUE: return "WriteValue";
    case OP_READ_BLOCK: return "ReadBlock";
    case OP_WRITE_BLOCK: return "WriteBlock";
    case OP_READ_BLOCK_ELEMENT: return "ReadBlockElement";
    case OP_WRITE_BLOCK_ELEMENT: return "WriteBlockElement";
    case OP_MASK_WRITE_VALUE: return "MaskWriteValue";
    case OP_MASK_WRITE_BLOCK_ELEMENT: return "MaskWriteBlockElement";
    default: return nullptr;
    }
}

bool AppendRequest(TextBuilder &builder, const DriverRequest &request, HVALUE value) {
    if (!builder.Append("Tag(")) return false;
    if (!AppendTagText(builder, request.paramDevice, request.paramItem, request.n1, request.n2, request.n3,
                       request.n4, request.tagObject)) {
        return false;
    }
    const unsigned operation = request.operation;
    if (operation & OP_BIT_BLOCK) {
        if (!builder.Format("[%u]", unsigned{request.blockSize})) return false;
        if ((operation & OP_BIT_ELEMENT) && !builder.Format(".%u", unsigned{request.firstElement})) return false;
    }
    if ((operation & OP_BIT_MASK) &&
        !builder.Format(";and=%04X;or=%04X", unsigned{request.mask1}, unsigned{request.mask2})) {
        return false;
    }
    if (!builder.Append(").")) return false;
    const char *name = OperationName(request.operation);
    if (name ? !builder.Append(name)
             : !builder.Format("<unknown driver service(%u,%04X)>", operation, operation)) {
        return false;
    }
    if (operation & OP_BIT_WRITE) return builder.Append(" ") && AppendValueText(builder, value);
    return true;
}

} // namespace

bool AppendTimeText(TextBuilder &builder, const hvTime &time) {
    hvCalendar c{};
    if (!hvTimeToCalendar(&time, &c)) return builder.Append("?TIMEX?");
    const hvCalendar &today = builder.ReferenceDate();
    const unsigned hour = c.hour, minute = c.minute, second = c.second, ms = c.millisecond;
    if (c.year == today.year && c.month == today.month && c.day == today.day) {
        if (ms == 0) return builder.Format("%02u:%02u:%02u", hour, minute, second);
        return builder.Format("%02u:%02u:%02u.%03u", hour, minute, second, ms);
    }
    const unsigned year = c.year, month = c.month, day = c.day;
    if (ms == 0) return builder.Format("%u.%02u.%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
    return builder.Format("%u.%02u.%02u %02u:%02u:%02u.%03u", year, month, day, hour, minute, second, ms);
}

bool AppendValueText(TextBuilder &builder, HVALUE value) {
    if (!value) return builder.Append("<null>");
    if (builder.FullForm() && !AppendPrefix(builder, value)) return false;
    return AppendBody(builder, value);
}

bool AppendTagText(TextBuilder &builder, const wchar_t *device, const wchar_t *item, int16_t n1,
                   uint16_t n2, uint16_t n3, uint16_t n4, IUnknown *tagObject) {
    bool named = false;
    if (!IsEmpty(device)) {
        if (!builder.Append("{") || !builder.AppendWide(device) || !builder.Append("}")) return false;
        if (!builder.Append("'") || !builder.AppendWide(item) || !builder.Append("'")) return false;
        named = true;
    } else if (!IsEmpty(item)) {
        if (!builder.Append("'") || !builder.AppendWide(item) || !builder.Append("'")) return false;
        named = true;
    }
    // A named tag shows its numbers only when it has any.
    if (!(named && n1 == 0 && n2 == 0 && n3 == 0 && n4 == 0) &&
        !builder.Format("%u.%u.%u.%u", unsigned{static_cast<uint16_t>(n1)}, unsigned{n2}, unsigned{n3},
                        unsigned{n4})) {
        return false;
    }
    if (tagObject) {
        return builder.Format(".Blob:%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(tagObject)));
    }
    return true;
}

std::string ValueToText(HVALUE value) {
    ValueTextBuffer text;
    return ValueText(value, TEXT_PLAIN, text);
}

const char *ValueText(HVALUE value, unsigned flags, ValueTextBuffer &out) {
    TextBuilder builder(out, kValueTextCapacity, flags);
    AppendValueText(builder, value);
    return builder.Finish();
}

const char *RequestText(const DriverRequest &request, HVALUE value, RequestTextBuffer &out) {
    TextBuilder builder(out, kRequestTextCapacity, TEXT_FULL);
    AppendRequest(builder, request, value);
    return builder.Finish();
}

const char *TagInfoText(const TagInfo &info, const wchar_t *device, const wchar_t *item,
                        TagInfoTextBuffer &out) {
    TextBuilder builder(out, kTagInfoTextCapacity, TEXT_FULL);
    const unsigned blockSize = info.blockSize;
    if (AppendTagText(builder, device, item, info.n1, info.n2, info.n3, info.n4, info.tagObject) &&
        blockSize >= 2) {
        builder.Format("[%u]", blockSize);
    }
    return builder.Finish();
}

} // namespace quillon

#include "log/CIOLogger.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace quillon {

namespace {

struct CategoryInfo {
    const char *name;
    const char *prefix;
    bool newLine;   // every message starts its own line
};

const CategoryInfo kCategories[LOG_CATEGORY_COUNT] = {
    {"DRIVER", "", true},     {"FRAMES", "", false}, {"CHANFER", "", true},
    {"SERIAL", "", true},     {"TAPI", "", true},    {"SOCKET", "", true},
    {"RAS", "", true},        {"IO", "TX: ", false}, {"IO", "RX: ", false},
    {"CACHE", "", true},      {"TAG", "", true},     {"SUPERBLOCK", "", true},
    {"DEBUG", "", true},      {"QUEUE", "", true},
};

const char kDriverName[] = "Driver Tarvel VBScript v1.1.3 (ChanferLib v2.0.25)";

// A frame byte takes up to four characters ("[XX]"); writing the buffer out
// above this fill keeps room for the next one.
constexpr unsigned kFrameFlushThreshold = CIOLogger::kBufferSize - 11;

void ReplaceAll(std::string &text, const char *token, const char *replacement) {
    const size_t tokenLength = std::strlen(token);
    const size_t replacementLength = std::strlen(replacement);
    for (size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + replacementLength)) {
        text.replace(at, tokenLength, replacement);
    }
}

// value in base 10 or 16 (upper case) with at least width digits, as
// printf's "%0<width>u" and "%0<width>X" write it. Every line header is
// written with these: printf costs more than the rest of a short line.
char *PutNumber(char *out, unsigned value, unsigned base, unsigned width) {
    char digits[16];
    unsigned count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    while (count < width) digits[count++] = '0';
    while (count > 0) *out++ = digits[--count];
    return out;
}

} // namespace

HRESULT CreateLogger(IIOLogger **logger) {
    if (!logger) return E_POINTER;
    *logger = new (std::nothrow) CIOLogger();
    return *logger ? S_OK : E_OUTOFMEMORY;
}

CIOLogger::CIOLogger() = default;

void CIOLogger::SetClock(LogClock clock) {
    ScopedLock hold(lock_);
    clock_ = clock;
}

HRESULT STDMETHODCALLTYPE CIOLogger::QueryInterface(REFIID iid, void **object) {
    if (!object) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IIOLogger)) {
        *object = static_cast<IIOLogger *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CIOLogger::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE CIOLogger::Release() {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

void CIOLogger::Now(SYSTEMTIME *now) const {
    if (clock_) {
        clock_(now);
    } else {
        GetLocalTime(now);
    }
}

void CIOLogger::ExpandName() {
    std::string name = template_;
    char text[32];
    _snprintf(text, sizeof text, "%04X", static_cast<unsigned>(GetCurrentProcessId()));
    text[sizeof text - 1] = '\0';
    ReplaceAll(name, "%PROCESS%", text);
    daily_ = name.find("%DATE%") != std::string::npos;
    if (daily_) {
        _snprintf(text, sizeof text, "%04u_%02u_%02u", unsigned{fileDate_.wYear},
                  unsigned{fileDate_.wMonth}, unsigned{fileDate_.wDay});
        text[sizeof text - 1] = '\0';
        ReplaceAll(name, "%DATE%", text);
    }
    fileName_ = std::move(name);
}

void CIOLogger::Open() {
    // Append access: every write lands at the end of the file as one step,
    // so processes sharing the file never write over each other's lines.
    file_.reset(CreateFileA(fileName_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
    if (!file_.valid()) {
        file_.reset();
        return;
    }
    Banner("Driver name:  %hs", kDriverName);
    Banner("ChanferLib version 2.0.25 of Aug 16 2013 11:36:02");
}

void CIOLogger::Banner(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LogV(LOG_DRIVER, LOG_LEVEL, format, arguments);
    va_end(arguments);
}

void CIOLogger::WriteOut() {
    if (file_.valid() && fill_ > 0) {
        DWORD written = 0;
        WriteFile(file_.get(), buffer_, fill_, &written, nullptr);
    }
    fill_ = 0;
}

void CIOLogger::FlushAndClose() {
    WriteOut();
    file_.reset();
    lastCategory_ = -1;
    lastThread_ = 0;
    endsWithLineFeed_ = false;
}

void CIOLogger::Append(const char *text, size_t length) {
    if (length == 0) return;
    if (length > kBufferSize) length = kBufferSize;
    endsWithLineFeed_ = text[length - 1] == '\n';
    if (length > kBufferSize - fill_) WriteOut();
    std::memcpy(buffer_ + fill_, text, length);
    fill_ += static_cast<unsigned>(length);
}

void CIOLogger::Append(const char *text) { Append(text, std::strlen(text)); }

bool CIOLogger::LineHeader(int category, bool forceNewLine) {
    if (category < 0 || category >= LOG_CATEGORY_COUNT) return false;
    SYSTEMTIME now;
    Now(&now);
    if (daily_ && (now.wYear != fileDate_.wYear || now.wMonth != fileDate_.wMonth ||
                   now.wDay != fileDate_.wDay)) {
        fileDate_ = now;
        FlushAndClose();
        ExpandName();
        Open();
    }
    const CategoryInfo &info = kCategories[category];
    const DWORD thread = GetCurrentThreadId();
    if (category == lastCategory_ && !info.newLine && !forceNewLine && thread == lastThread_) {
        return true;
    }
    if (!endsWithLineFeed_) Append("\r\n", 2);
    // "%02u/%02u/%04u %02u:%02u:%02u.%03u (%04X) "
    char header[64];
    char *end = PutNumber(header, now.wDay, 10, 2);
    *end++ = '/';
    end = PutNumber(end, now.wMonth, 10, 2);
    *end++ = '/';
    end = PutNumber(end, now.wYear, 10, 4);
    *end++ = ' ';
    end = PutNumber(end, now.wHour, 10, 2);
    *end++ = ':';
    end = PutNumber(end, now.wMinute, 10, 2);
    *end++ = ':';
    end = PutNumber(end, now.wSecond, 10, 2);
    *end++ = '.';
    end = PutNumber(end, now.wMilliseconds, 10, 3);
    *end++ = ' ';
    *end++ = '(';
    end = PutNumber(end, thread, 16, 4);
    *end++ = ')';
    *end++ = ' ';
    Append(header, static_cast<size_t>(end - header));
    Append(info.name);
    Append("\t", 1);
    Append(info.prefix);
    lastCategory_ = category;
    lastThread_ = thread;
    return true;
}

void STDMETHODCALLTYPE CIOLogger::SetLogFile(const char *nameTemplate) {
    ScopedLock hold(lock_);
    if (!nameTemplate || !*nameTemplate) {
        Close();
        return;
    }
    template_ = nameTemplate;
    Now(&fileDate_);
    ExpandName();
    // Announced in the file being left, so that a reader can follow the trail.
    Log(LOG_DRIVER, LOG_LEVEL, "Log redirected to '%s'.", fileName_.c_str());
    FlushAndClose();
    Open();
    writing_.store(Writing(), std::memory_order_release);
}

unsigned STDMETHODCALLTYPE CIOLogger::SetOptions(unsigned options) {
    ScopedLock hold(lock_);
    const unsigned previous = options_;
    options_ = options;
    return previous;
}

void CIOLogger::Log(int category, unsigned level, const char *format, ...) {
    if (!format) return;
    va_list arguments;
    va_start(arguments, format);
    LogV(category, level, format, arguments);
    va_end(arguments);
}

void STDMETHODCALLTYPE CIOLogger::LogV(int category, unsigned, const char *format, va_list arguments) {
    if (!format) return;
    ScopedLock hold(lock_);
    bool forceNewLine = false;
    for (;;) {
        if (format[0] == '\r' && format[1] == '\n') {
            format += 2;
        } else if (format[0] == '\n') {
            format += 1;
        } else {
            break;
        }
        forceNewLine = true;
    }
    // Without a file the line would be dropped; the header state that it
    // leaves behind is reset before the next file opens.
    if (!Writing()) return;
    if (category < 0 || !LineHeader(category, forceNewLine)) return;

    va_list again;
    va_copy(again, arguments);
    int length = _vsnprintf(buffer_ + fill_, kBufferSize - fill_, format, arguments);
    if (length < 0) {
        // Too long for what is left: make room and try once more; if even
        // the whole buffer is too small the text is cut at its end.
        WriteOut();
        length = _vsnprintf(buffer_, kBufferSize, format, again);
        if (length < 0) length = kBufferSize;
    }
    va_end(again);
    if (length > 0) {
        fill_ += static_cast<unsigned>(length);
        endsWithLineFeed_ = buffer_[fill_ - 1] == '\n';
    }
    WriteOut();
}

void STDMETHODCALLTYPE CIOLogger::LogFrame(int category, unsigned, const void *bytes, unsigned count) {
    ScopedLock hold(lock_);
    if (count == 0 || !bytes) {
        lastCategory_ = -1;
        return;
    }
    if (category < 0 || !LineHeader(category, false)) return;
    static const char kDigits[] = "0123456789ABCDEF";
    const auto *data = static_cast<const unsigned char *>(bytes);
    const bool printable = (options_ & LOG_OPTION_PRINTABLE_FRAMES) != 0;
    for (unsigned i = 0; i < count; ++i) {
        if (fill_ > kFrameFlushThreshold) WriteOut();
        const unsigned char byte = data[i];
        if (printable && byte >= 32 && byte <= 126) {
            buffer_[fill_++] = static_cast<char>(byte);
        } else {
            if (printable) buffer_[fill_++] = '[';
            else buffer_[fill_++] = ' ';
            buffer_[fill_++] = kDigits[byte >> 4];
            buffer_[fill_++] = kDigits[byte & 15];
            if (printable) buffer_[fill_++] = ']';
        }
    }
    endsWithLineFeed_ = false;
    WriteOut();
}

void STDMETHODCALLTYPE CIOLogger::Close() {
    ScopedLock hold(lock_);
    if (file_.valid()) {
        Append("\r\n", 2);
        Append(std::string(78, '=').c_str(), 78);
        Append("\r\n", 2);
    }
    FlushAndClose();
    template_.clear();
    fileName_.clear();
    daily_ = false;
    writing_.store(false, std::memory_order_release);
}

void STDMETHODCALLTYPE CIOLogger::Lock() { lock_.Enter(); }

void STDMETHODCALLTYPE CIOLogger::Unlock() { lock_.Leave(); }

bool STDMETHODCALLTYPE CIOLogger::IsWriting() { return writing_.load(std::memory_order_acquire); }

} // namespace quillon

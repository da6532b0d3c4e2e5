// The driver's text log: one line per message with date, time, thread and
// category, plus hexadecimal dumps of the frames that the links exchange.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <cstdarg>

namespace quillon {

enum LogCategory : int {
    LOG_DRIVER = 0,
    LOG_FRAMES = 1,
    LOG_CHANFER = 2,
    LOG_SERIAL = 3,
    LOG_TAPI = 4,
    LOG_SOCKET = 5,
    LOG_RAS = 6,
    LOG_TX = 7,
    LOG_RX = 8,
    LOG_CACHE = 9,
    LOG_TAG = 10,
    LOG_SUPERBLOCK = 11,
    LOG_DEBUG = 12,
    LOG_QUEUE = 13,
    LOG_CATEGORY_COUNT = 14
};

// Every caller passes this level; the logger ignores it.
constexpr unsigned LOG_LEVEL = 14;

// Options word: printable frame dumps instead of hexadecimal ones.
constexpr unsigned LOG_OPTION_PRINTABLE_FRAMES = 2;

#define QUILLON_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))

// {6A1F3C52-9D0B-4E27-8F61-2B7D4C9A0E15}, declared below for __uuidof.
struct IIOLogger : IUnknown {
    virtual void STDMETHODCALLTYPE SetLogFile(const char *nameTemplate) = 0;
    virtual unsigned STDMETHODCALLTYPE SetOptions(unsigned options) = 0;
    virtual void Log(int category, unsigned level, const char *format, ...) QUILLON_PRINTF(4, 5) = 0;
    virtual void STDMETHODCALLTYPE LogV(int category, unsigned level, const char *format, va_list arguments) = 0;
    virtual void STDMETHODCALLTYPE LogFrame(int category, unsigned level, const void *bytes, unsigned count) = 0;
    virtual void STDMETHODCALLTYPE Close() = 0;
    virtual void STDMETHODCALLTYPE Lock() = 0;
    virtual void STDMETHODCALLTYPE Unlock() = 0;
    // False while no message can reach a file (no log open, and none to be
    // opened at the next day change): callers may skip building their texts.
    virtual bool STDMETHODCALLTYPE IsWriting() = 0;
};

} // namespace quillon

// GCC ignores the uuid attribute on the struct; MinGW's own declaration serves __uuidof.
__CRT_UUID_DECL(quillon::IIOLogger, 0x6A1F3C52, 0x9D0B, 0x4E27, 0x8F, 0x61, 0x2B, 0x7D, 0x4C, 0x9A, 0x0E, 0x15)

namespace quillon {

// Creates the process's logger (reference count 1, no file open).
HRESULT CreateLogger(IIOLogger **logger);

} // namespace quillon

#include "log/CIOLogger.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace quillon;
using quillon::test::FileExists;
using quillon::test::ReadWholeFile;
using quillon::test::ScratchDir;
using quillon::test::WriteWholeFile;

namespace {

SYSTEMTIME g_now;

void PinnedClock(SYSTEMTIME *now) { *now = g_now; }

void SetNow(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    g_now = SYSTEMTIME{};
    g_now.wYear = year;
    g_now.wMonth = month;
    g_now.wDay = day;
    g_now.wHour = hour;
    g_now.wMinute = minute;
    g_now.wSecond = second;
    g_now.wMilliseconds = ms;
}

std::string Header(DWORD thread = GetCurrentThreadId()) {
    char text[64];
    _snprintf(text, sizeof text, "%02u/%02u/%04u %02u:%02u:%02u.%03u (%04X) ", g_now.wDay,
              g_now.wMonth, g_now.wYear, g_now.wHour, g_now.wMinute, g_now.wSecond,
              g_now.wMilliseconds, static_cast<unsigned>(thread));
    return text;
}

// What a freshly opened file receives: a line break, then the two banner lines.
std::string Banner() {
    return "\r\n" + Header() + "DRIVER\tDriver name:  Driver Tarvel VBScript v1.1.3 (ChanferLib v2.0.25)\r\n" +
           Header() + "DRIVER\tChanferLib version 2.0.25 of Aug 16 2013 11:36:02";
}

const std::string kSeparator = "\r\n" + std::string(78, '=') + "\r\n";

class LoggerTest : public ::testing::Test {
protected:
    LoggerTest() : logger_(ComPtr<CIOLogger>::Attach(new CIOLogger())) {
        SetNow(2026, 12, 8, 14, 3, 7, 250);
        logger_->SetClock(PinnedClock);
    }

    void OpenPlain() {
        path_ = dir_.File("plain.log");
        logger_->SetLogFile(path_.c_str());
    }
    std::string Content() const { return ReadWholeFile(path_); }

    ScratchDir dir_;
    ComPtr<CIOLogger> logger_;
    std::string path_;
};

TEST_F(LoggerTest, FactoryAnswersItsInterfaces) {
    ComPtr<IIOLogger> created;
    ASSERT_EQ(CreateLogger(created.put()), S_OK);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(created->QueryInterface(__uuidof(IUnknown), unknown.put_void()), S_OK);
    ComPtr<IIOLogger> again;
    EXPECT_EQ(unknown->QueryInterface(__uuidof(IIOLogger), again.put_void()), S_OK);
    EXPECT_EQ(again.get(), created.get());
    ComPtr<IUnknown> other;
    EXPECT_EQ(created->QueryInterface(IID_IDispatch, other.put_void()), E_NOINTERFACE);
    EXPECT_FALSE(other);
}

TEST_F(LoggerTest, OpeningWritesBannerAndMessagesGetHeaders) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "Port opened!");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\tPort opened!");
}

TEST_F(LoggerTest, HeaderCarriesDateTimeAndThread) {
    OpenPlain();
    SetNow(2026, 1, 2, 3, 4, 5, 6);
    logger_->Log(LOG_QUEUE, LOG_LEVEL, "n=%d %s", 7, "x");
    const std::string content = Content();
    char expected[64];
    _snprintf(expected, sizeof expected, "\r\n02/01/2026 03:04:05.006 (%04X) QUEUE\tn=7 x",
              static_cast<unsigned>(GetCurrentThreadId()));
    ASSERT_GE(content.size(), std::strlen(expected));
    EXPECT_EQ(content.substr(content.size() - std::strlen(expected)), expected);
}

// Field widths are minimums, as printf's: short numbers are padded with
// zeros, long ones are written whole.
TEST_F(LoggerTest, HeaderFieldsArePaddedButNeverCut) {
    OpenPlain();
    SetNow(987, 10, 31, 23, 59, 58, 999);
    logger_->Log(LOG_QUEUE, LOG_LEVEL, "a");
    SetNow(12345, 1, 1, 0, 0, 0, 0);
    logger_->Log(LOG_QUEUE, LOG_LEVEL, "b");
    char expected[128];
    const unsigned thread = static_cast<unsigned>(GetCurrentThreadId());
    _snprintf(expected, sizeof expected, "\r\n31/10/0987 23:59:58.999 (%04X) QUEUE\ta\r\n01/01/12345 00:00:00.000 (%04X) QUEUE\tb",
              thread, thread);
    const std::string content = Content();
    ASSERT_GE(content.size(), std::strlen(expected));
    EXPECT_EQ(content.substr(content.size() - std::strlen(expected)), expected);
}

TEST_F(LoggerTest, ExistingContentIsKept) {
    path_ = dir_.File("kept.log");
    WriteWholeFile(path_, "older");
    logger_->SetLogFile(path_.c_str());
    EXPECT_EQ(Content(), "older" + Banner());
}

// Another writer of the same file (a second process with the same log name)
// appends in between: each message still lands after everything written.
TEST_F(LoggerTest, SharedFileIsOnlyAppendedTo) {
    OpenPlain();
    logger_->Log(LOG_DRIVER, LOG_LEVEL, "first");
    HANDLE other = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(other, "|other|", 7, &written, nullptr));
    logger_->Log(LOG_DRIVER, LOG_LEVEL, "second");
    ASSERT_TRUE(WriteFile(other, "|again|", 7, &written, nullptr));
    CloseHandle(other);
    logger_->Log(LOG_DRIVER, LOG_LEVEL, "third");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "DRIVER\tfirst|other|\r\n" + Header() +
                             "DRIVER\tsecond|again|\r\n" + Header() + "DRIVER\tthird");
}

TEST_F(LoggerTest, NameExpandsDateAndProcess) {
    const std::string pattern = dir_.File("Q_%DATE%_%PROCESS%_%DATE%.log");
    logger_->SetLogFile(pattern.c_str());
    char name[64];
    _snprintf(name, sizeof name, "Q_2026_12_08_%04X_2026_12_08.log", static_cast<unsigned>(GetCurrentProcessId()));
    path_ = dir_.File(name);
    EXPECT_EQ(Content(), Banner());
}

TEST_F(LoggerTest, NameTokensAreCaseSensitive) {
    const std::string pattern = dir_.File("Q_%date%.log");
    logger_->SetLogFile(pattern.c_str());
    path_ = pattern;
    EXPECT_EQ(Content(), Banner());
}

TEST_F(LoggerTest, NewLineCategoriesStartALineEachTime) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "a");
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "b");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\ta\r\n" + Header() + "SERIAL\tb");
}

TEST_F(LoggerTest, ContinuingCategoryExtendsTheLine) {
    OpenPlain();
    logger_->Log(LOG_FRAMES, LOG_LEVEL, "a");
    logger_->Log(LOG_FRAMES, LOG_LEVEL, "b");
    logger_->Log(LOG_DRIVER, LOG_LEVEL, "c");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "FRAMES\tab\r\n" + Header() + "DRIVER\tc");
}

TEST_F(LoggerTest, MessageEndingInLineFeedIsNotFollowedByAnother) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "a\r\n");
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "b");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\ta\r\n" + Header() + "SERIAL\tb");
}

TEST_F(LoggerTest, FramesOfOneDirectionShareALine) {
    OpenPlain();
    const unsigned char first[] = {0x01, 0xAB};
    const unsigned char second[] = {0xFF};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, first, sizeof first);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, second, sizeof second);
    logger_->LogFrame(LOG_RX, LOG_LEVEL, second, sizeof second);
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "IO\tTX:  01 AB FF\r\n" + Header() + "IO\tRX:  FF");
}

TEST_F(LoggerTest, EmptyFrameEndsTheLine) {
    OpenPlain();
    const unsigned char bytes[] = {0x10};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 0);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, nullptr, 5);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    const std::string line = "\r\n" + Header() + "IO\tTX:  10";
    EXPECT_EQ(Content(), Banner() + line + line + line);
}

TEST_F(LoggerTest, LeadingLineBreaksForceANewLine) {
    OpenPlain();
    const unsigned char bytes[] = {0x10};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    logger_->Log(LOG_TX, LOG_LEVEL, "\r\n\nend %d", 1);
    logger_->Log(LOG_TX, LOG_LEVEL, "more");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "IO\tTX:  10\r\n" + Header() + "IO\tTX: end 1more");
}

TEST_F(LoggerTest, PrintableFrameOption) {
    OpenPlain();
    const unsigned char bytes[] = {0x41, 0x0D, 0x0A, 0x20, 0x7E, 0x7F, 0x1F};
    logger_->LogFrame(LOG_RX, LOG_LEVEL, bytes, 3);
    EXPECT_EQ(logger_->SetOptions(1 | LOG_OPTION_PRINTABLE_FRAMES), 1u);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, sizeof bytes);
    EXPECT_EQ(logger_->SetOptions(1), 3u);
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "IO\tRX:  41 0D 0A\r\n" + Header() +
                             "IO\tTX: A[0D][0A] ~[7F][1F]");
}

struct FrameJob {
    CIOLogger *logger;
    const unsigned char *bytes;
};

DWORD WINAPI LogOneFrame(void *parameter) {
    auto *job = static_cast<FrameJob *>(parameter);
    job->logger->LogFrame(LOG_TX, LOG_LEVEL, job->bytes, 1);
    return 0;
}

TEST_F(LoggerTest, TwoThreadsNeverShareALine) {
    OpenPlain();
    const unsigned char bytes[] = {0x10};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    FrameJob job{logger_.get(), bytes};
    DWORD otherId = 0;
    HANDLE other = CreateThread(nullptr, 0, LogOneFrame, &job, 0, &otherId);
    ASSERT_NE(other, nullptr);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "IO\tTX:  10\r\n" + Header(otherId) +
                             "IO\tTX:  10\r\n" + Header() + "IO\tTX:  10");
}

TEST_F(LoggerTest, LongMessageIsCutAtTheBufferSize) {
    OpenPlain();
    const std::string huge(40000, 'x');
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "%s", huge.c_str());
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "after");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\t" + std::string(CIOLogger::kBufferSize, 'x') +
                             "\r\n" + Header() + "SERIAL\tafter");
}

TEST_F(LoggerTest, LongFrameIsWrittenWhole) {
    OpenPlain();
    const std::string bytes(20000, '\x5A');
    logger_->LogFrame(LOG_RX, LOG_LEVEL, bytes.data(), static_cast<unsigned>(bytes.size()));
    std::string dump;
    for (size_t i = 0; i < bytes.size(); ++i) dump += " 5A";
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "IO\tRX: " + dump);
}

TEST_F(LoggerTest, CategoriesOutsideTheTableLogNothing) {
    OpenPlain();
    const unsigned char bytes[] = {0x10};
    logger_->Log(-1, LOG_LEVEL, "no");
    logger_->Log(LOG_CATEGORY_COUNT, LOG_LEVEL, "no");
    logger_->LogFrame(-3, LOG_LEVEL, bytes, 1);
    logger_->LogFrame(99, LOG_LEVEL, bytes, 1);
    logger_->Log(LOG_DEBUG, LOG_LEVEL, nullptr);
    EXPECT_EQ(Content(), Banner());
}

TEST_F(LoggerTest, NoDateInNameMeansNoRotation) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "a");
    const std::string first = Banner() + "\r\n" + Header() + "SERIAL\ta";
    SetNow(2026, 12, 9, 0, 0, 0, 1);
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "b");
    EXPECT_EQ(Content(), first + "\r\n" + Header() + "SERIAL\tb");
}

TEST_F(LoggerTest, DailyFileSwitchesAtTheFirstMessageAfterMidnight) {
    SetNow(2026, 12, 8, 23, 59, 59, 999);
    const std::string pattern = dir_.File("Q_%DATE%.log");
    logger_->SetLogFile(pattern.c_str());
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "late");
    const std::string oldFile = Banner() + "\r\n" + Header() + "SERIAL\tlate";

    SetNow(2026, 12, 9, 0, 0, 0, 5);
    EXPECT_FALSE(FileExists(dir_.File("Q_2026_12_09.log")));
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "early");
    EXPECT_EQ(ReadWholeFile(dir_.File("Q_2026_12_08.log")), oldFile);
    EXPECT_EQ(ReadWholeFile(dir_.File("Q_2026_12_09.log")), Banner() + "\r\n" + Header() + "SERIAL\tearly");
}

TEST_F(LoggerTest, DailyFileSwitchesForFramesToo) {
    const std::string pattern = dir_.File("F_%DATE%.log");
    logger_->SetLogFile(pattern.c_str());
    const unsigned char bytes[] = {0x01};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    SetNow(2027, 1, 1, 0, 0, 0, 0);
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    EXPECT_EQ(ReadWholeFile(dir_.File("F_2027_01_01.log")), Banner() + "\r\n" + Header() + "IO\tTX:  01");
}

TEST_F(LoggerTest, RedirectionIsAnnouncedInTheOldFile) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "a");
    const std::string next = dir_.File("next.log");
    logger_->SetLogFile(next.c_str());
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\ta\r\n" + Header() + "DRIVER\tLog redirected to '" +
                             next + "'.");
    EXPECT_EQ(ReadWholeFile(next), Banner());
}

TEST_F(LoggerTest, CloseAppendsTheSeparator) {
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "a");
    logger_->Close();
    const std::string closed = Banner() + "\r\n" + Header() + "SERIAL\ta" + kSeparator;
    EXPECT_EQ(Content(), closed);
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "dropped");
    logger_->Close();
    EXPECT_EQ(Content(), closed);
}

TEST_F(LoggerTest, EmptyNameCloses) {
    OpenPlain();
    logger_->SetLogFile("");
    EXPECT_EQ(Content(), Banner() + kSeparator);
    OpenPlain();
    logger_->SetLogFile(nullptr);
    EXPECT_EQ(Content(), Banner() + kSeparator + Banner() + kSeparator);
}

TEST_F(LoggerTest, CloseWithoutFileLeavesNothingBehind) {
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "nowhere");
    logger_->Close();
    OpenPlain();
    EXPECT_EQ(Content(), Banner());
}

TEST_F(LoggerTest, UnopenableFileIsSilent) {
    const std::string missing = dir_.File("absent\\x.log");
    logger_->SetLogFile(missing.c_str());
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "dropped %d", 1);
    const unsigned char bytes[] = {0x01};
    logger_->LogFrame(LOG_TX, LOG_LEVEL, bytes, 1);
    logger_->Close();
    EXPECT_FALSE(FileExists(dir_.File("absent")));
    // Still usable afterwards.
    OpenPlain();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "b");
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\tb");
}

TEST_F(LoggerTest, LockIsRecursiveForItsHolder) {
    OpenPlain();
    logger_->Lock();
    logger_->Log(LOG_SERIAL, LOG_LEVEL, "held");
    logger_->Unlock();
    EXPECT_EQ(Content(), Banner() + "\r\n" + Header() + "SERIAL\theld");
}

} // namespace

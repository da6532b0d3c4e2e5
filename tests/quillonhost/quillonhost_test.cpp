// quillonhost.exe run as a user runs it, its output and exit code read.
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

using namespace quillon::test;

namespace {

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

// Runs the program (quillonhost.exe unless named) beside this one with the
// arguments.
Outcome RunHost(const std::string &arguments, const std::string &program = "quillonhost.exe") {
    Outcome outcome;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return outcome;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command = program + " " + arguments;
    const BOOL started =
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read > 0) outcome.output.append(buffer, read);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &outcome.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return outcome;
}

bool Has(const Outcome &outcome, const std::string &text) { return outcome.output.find(text) != std::string::npos; }

class QuillonHostTest : public ::testing::Test {
protected:
    std::string Write(const std::string &name, const std::string &text) {
        const std::string path = scratch_.File(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Config(const std::string &script) {
        Write("device.vbs", script);
        return Write("device.ini", "[Parameters]\r\nIO.Type = STR None\r\n[Script]\r\nFile = device.vbs\r\n");
    }

    ScratchDir scratch_;
};

const char kScript[] = "Sub OnRead_Good(Request, Value)\n"
                       "  Value.Value = 42\n"
                       "End Sub\n"
                       "Sub OnRead_Refused(Request, Value)\n"
                       "  Request.FailRequest\n"
                       "End Sub\n";

// A copy of the host for which Wine loads no VBScript engine: Wine takes
// DLL overrides per program name from the registry (an override in the
// environment does not reach a child process).
class HostWithoutEngine {
public:
    HostWithoutEngine() {
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string folder = path;
        folder.resize(folder.find_last_of('\\') + 1);
        copy_ = folder + kName;
        CopyFileA((folder + "quillonhost.exe").c_str(), copy_.c_str(), FALSE);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegSetValueExA(key, "vbscript", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 1);
            RegCloseKey(key);
        }
    }
    ~HostWithoutEngine() {
        RegDeleteKeyA(HKEY_CURRENT_USER, kOverrides);
        RegDeleteKeyA(HKEY_CURRENT_USER, kProgramKey);
        DeleteFileA(copy_.c_str());
    }
    static constexpr const char *kName = "quillonhost-noengine.exe";

private:
    static constexpr const char *kProgramKey = "Software\\Wine\\AppDefaults\\quillonhost-noengine.exe";
    static constexpr const char *kOverrides = "Software\\Wine\\AppDefaults\\quillonhost-noengine.exe\\DllOverrides";
    std::string copy_;
};

// Without the VBScript engine the start and the check say so instead of
// reporting a compile error.
TEST_F(QuillonHostTest, AMissingScriptEngineIsReportedAsSuch) {
    const std::string script = Write("good.vbs", kScript);
    const Outcome good = RunHost("check " + script);
    EXPECT_EQ(0u, good.exitCode) << good.output;
    EXPECT_TRUE(Has(good, "No errors found")) << good.output;

    HostWithoutEngine noEngine;
    const Outcome check = RunHost("check " + script, HostWithoutEngine::kName);
    EXPECT_EQ(1u, check.exitCode);
    EXPECT_TRUE(Has(check, "error: Failed to create VBScriptEngine object")) << check.output;
    EXPECT_FALSE(Has(check, "Line ")) << check.output;

    const Outcome run = RunHost("--log run " + Config(kScript) + " read Good", HostWithoutEngine::kName);
    EXPECT_NE(0u, run.exitCode);
    EXPECT_TRUE(Has(run, "drvStartComm -> -1")) << run.output;
    EXPECT_TRUE(Has(run, "DRIVER\tFailed to create VBScriptEngine object")) << run.output;
    EXPECT_FALSE(Has(run, "Error compiling script")) << run.output;
}

// A failed request shows its status code and what the code means.
TEST_F(QuillonHostTest, FailedRequestsShowTheirStatus) {
    const Outcome run = RunHost("run " + Config(kScript) + " read Good read Refused read Missing");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Has(run, "Good = ")) << run.output;
    EXPECT_TRUE(Has(run, "read Refused: FAILED (hr=80004005 E_FAIL)")) << run.output;
    EXPECT_TRUE(Has(run, "read Missing: FAILED (hr=80020006 DISP_E_UNKNOWNNAME)")) << run.output;
}

TEST_F(QuillonHostTest, CheckNamesTheLineAndColumnOfASyntaxError) {
    const Outcome check = RunHost("check " + Write("bad.vbs", "Dim a\nDim b\nx = (1 +\n"));
    EXPECT_EQ(1u, check.exitCode);
    EXPECT_TRUE(Has(check, "Line 3, Col ")) << check.output;
}

TEST_F(QuillonHostTest, TemplateShowsTheTimeLimitOfScriptCalls) {
    const Outcome printed = RunHost("template");
    EXPECT_EQ(0u, printed.exitCode);
    // Not in a fresh configuration; 30 seconds when absent.
    char line[128];
    snprintf(line, sizeof line, "\n; %-32s = U32 30", "VBScript.TimeLimitSec");
    EXPECT_TRUE(Has(printed, std::string(line) + "\r\n") || Has(printed, std::string(line) + "\n")) << printed.output;
}

} // namespace

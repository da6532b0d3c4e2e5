// The serial rig seen from a test program under Wine: simulated devices on
// pseudo-terminals mapped as COM ports of the prefix (scripts/serial-rig.sh),
// with a preloaded library that records the modem lines Wine sets. The
// program needs QUILLON_RIG and QUILLON_BUILD in its environment and
// registers the rig's command queue once:
//   const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);
//
// Programs of one build tree share its prefix and run in parallel, and a
// device started on a COM port ends whatever that port had: each program
// keeps to ports of its own.
//   serial: 7, 11-29, 58 (never plugged)   examples: 30   soak: 57
//   link:   31-39                          modem:    40-56
// A RigDevice also holds the port's lock for its lifetime, so a port that a
// program takes by mistake waits for its owner instead of being pulled away.
#pragma once

#include "tests/serial/rig/modemlines.h"
#include "tests/support/TestFiles.h"
#include "tests/support/Waiting.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace quillon::test {

inline std::string RigEnv(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

inline std::string RigDosPath(const std::string &unixPath) {
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// The rig's command queue: Wine starts Linux programs without a process to
// wait for (and leaves a handle behind for each), so one rig process serves
// the whole program and takes its commands as files.
class RigQueue : public ::testing::Environment {
public:
    void SetUp() override {
        Folder() = RigEnv("QUILLON_BUILD") + "/rig/queue-" + std::to_string(GetCurrentProcessId());
        std::string command =
            "/bin/bash " + RigEnv("QUILLON_RIG") + " --build " + RigEnv("QUILLON_BUILD") + " serve " + Folder();
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(
            CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        if (process.hThread) CloseHandle(process.hThread);
        if (process.hProcess) CloseHandle(process.hProcess);
        // The first named object keeps a handle to their namespace open for
        // good: made here, before any test counts handles.
        CloseHandle(CreateMutexA(nullptr, FALSE, "quillon-rig"));
    }
    void TearDown() override {
        CreateDirectoryA(RigDosPath(Folder()).c_str(), nullptr);
        WriteWholeFile(RigDosPath(Folder() + "/stop"), "");
    }

    // Runs one rig command; its exit code, or -1 when it never ends.
    static int Run(const std::string &arguments) {
        static int serial = 0;
        CreateDirectoryA(RigDosPath(Folder()).c_str(), nullptr);
        const std::string name = RigDosPath(Folder() + "/" + std::to_string(++serial));
        WriteWholeFile(name + ".tmp", arguments + "\n");
        if (!MoveFileA((name + ".tmp").c_str(), (name + ".cmd").c_str())) return -1;
        if (!WaitUntil([&] { return FileExists(name + ".done"); })) return -1;
        const int code = atoi(ReadWholeFile(name + ".done").c_str());
        if (code != 0) std::cout << ReadWholeFile(name + ".out");
        DeleteFileA((name + ".done").c_str());
        DeleteFileA((name + ".out").c_str());
        return code;
    }

private:
    static std::string &Folder() {
        static std::string folder;
        return folder;
    }
};

// One simulated device on COM<port> (modes of tests/serial/rig/serialsim.c),
// ended again when the object goes. Made and ended on one thread (the port's
// lock is a mutex).
class RigDevice {
public:
    RigDevice(unsigned port, const std::string &mode, const std::string &noise = "")
        : port_(port), lock_(CreateMutexA(nullptr, FALSE, ("quillon-rig-COM" + std::to_string(port)).c_str())) {
        // Abandoned by a program that ended without letting go: ours now.
        const DWORD waited = lock_ ? WaitForSingleObject(lock_, 2 * kDeadlineMs) : WAIT_FAILED;
        locked_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        EXPECT_TRUE(locked_) << "COM" << port << " is held by another test program";
        Unplug();
        Run("start " + std::to_string(port) + " " + mode + (noise.empty() ? "" : " " + noise));
        ready_ = WaitUntil([&] { return Exists(Dir() + "/ready"); });
        EXPECT_TRUE(ready_) << "COM" << port << " (" << mode << ") did not start";
    }
    ~RigDevice() {
        Unplug();
        if (locked_) ReleaseMutex(lock_);
        if (lock_) CloseHandle(lock_);
    }
    RigDevice(const RigDevice &) = delete;
    RigDevice &operator=(const RigDevice &) = delete;
    bool Ready() const { return ready_; }

    // The far end goes away while Wine runs on.
    void Unplug() {
        if (!Exists(Dir())) return;
        Run("unplug " + std::to_string(port_));
        EXPECT_TRUE(WaitUntil([&] { return !Exists(Dir()); })) << "COM" << port_ << " not unplugged";
    }

    // The recorded changes of the modem lines and the writes.
    std::vector<modem_lines_record> Records() const {
        modem_lines state = {};
        ReadLines(state);
        return std::vector<modem_lines_record>(state.records,
                                               state.records + std::min<uint32_t>(state.count, MODEM_LINES_RECORDS));
    }
    // Sets the input lines (CTS, DSR, ...) the port reports.
    void SetInputs(uint32_t inputs) const {
        HANDLE file = CreateFileA(RigDosPath(Dir() + "/lines").c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, &inputs, sizeof inputs, &written, nullptr));
        CloseHandle(file);
    }

private:
    std::string Dir() const { return RigEnv("QUILLON_BUILD") + "/rig/port" + std::to_string(port_); }
    static bool Exists(const std::string &unixPath) {
        return GetFileAttributesA(RigDosPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static void Run(const std::string &arguments) { EXPECT_EQ(0, RigQueue::Run(arguments)) << arguments; }
    void ReadLines(modem_lines &state) const {
        HANDLE file = CreateFileA(RigDosPath(Dir() + "/lines").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(file, &state, sizeof state, &read, nullptr));
        CloseHandle(file);
    }

    unsigned port_;
    HANDLE lock_;
    bool locked_ = false;
    bool ready_ = false;
};

} // namespace quillon::test

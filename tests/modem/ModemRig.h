// The serial rig as a Windows test program drives it: one rig process
// (scripts/serial-rig.sh serve) takes commands as files, and a Device puts a
// simulated device on the far end of a COM port for as long as it lives.
#pragma once

#include "tests/phys/ScriptedLink.h"
#include "tests/serial/rig/modemlines.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace quillon::test {

inline std::string DosPath(const std::string &unixPath) {
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

inline std::string Env(const char *name) {
    const char *value = getenv(name);
    return value ? value : "";
}

// Wine starts Linux programs without a process to wait for (and leaves a
// handle behind for each), so the rig runs once per test program.
class RigQueue : public ::testing::Environment {
public:
    void SetUp() override {
        Folder() = Env("QUILLON_BUILD") + "/rig/queue-" + std::to_string(GetCurrentProcessId());
        std::string command = "/bin/bash " + Env("QUILLON_RIG") + " --build " + Env("QUILLON_BUILD") + " serve " + Folder();
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        if (process.hThread) CloseHandle(process.hThread);
        if (process.hProcess) CloseHandle(process.hProcess);
    }
    void TearDown() override {
        CreateDirectoryA(DosPath(Folder()).c_str(), nullptr);
        WriteWholeFile(DosPath(Folder() + "/stop"), "");
    }

    // Runs one rig command; its exit code, or -1 when it never ends.
    static int Run(const std::string &arguments) {
        static int serial = 0;
        CreateDirectoryA(DosPath(Folder()).c_str(), nullptr);
        const std::string name = DosPath(Folder() + "/" + std::to_string(++serial));
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

// One simulated device on COM<port>, ended again when the object goes.
class RigDevice {
public:
    RigDevice(unsigned port, const std::string &mode) : port_(port) {
        Unplug();
        EXPECT_EQ(0, RigQueue::Run("start " + std::to_string(port) + " " + mode));
        ready_ = WaitUntil([&] { return Exists(RigDir() + "/ready"); });
    }
    ~RigDevice() { Unplug(); }
    RigDevice(const RigDevice &) = delete;
    RigDevice &operator=(const RigDevice &) = delete;
    bool Ready() const { return ready_; }

    void Unplug() {
        if (!Exists(RigDir())) return;
        EXPECT_EQ(0, RigQueue::Run("unplug " + std::to_string(port_)));
        EXPECT_TRUE(WaitUntil([&] { return !Exists(RigDir()); })) << "COM" << port_ << " not unplugged";
    }

    // The recorded changes of the modem lines and the writes.
    std::vector<modem_lines_record> Records() const {
        modem_lines state = {};
        HANDLE file = CreateFileA(DosPath(RigDir() + "/lines").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return {};
        DWORD read = 0;
        ReadFile(file, &state, sizeof state, &read, nullptr);
        CloseHandle(file);
        return std::vector<modem_lines_record>(state.records,
                                               state.records + std::min<uint32_t>(state.count, MODEM_LINES_RECORDS));
    }

private:
    std::string RigDir() const { return Env("QUILLON_BUILD") + "/rig/port" + std::to_string(port_); }
    static bool Exists(const std::string &unixPath) {
        return GetFileAttributesA(DosPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    unsigned port_;
    bool ready_ = false;
};

} // namespace quillon::test

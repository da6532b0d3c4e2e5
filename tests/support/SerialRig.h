// The serial rig seen from a test program under Wine: simulated devices on
// pseudo-terminals mapped as COM ports of the prefix (scripts/serial-rig.sh).
// The program needs QUILLON_RIG and QUILLON_BUILD in its environment and
// registers the rig's command queue once:
//   const auto *const kRig = ::testing::AddGlobalTestEnvironment(new RigQueue);
#pragma once

#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

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

// Polls until the condition holds or 30 s have passed.
inline bool RigWaitUntil(const std::function<bool()> &condition) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > 30000) return false;
        Sleep(5);
    }
    return true;
}

// The rig's command queue: Wine starts Linux programs without a process to
// wait for, so one rig process serves the whole program through files.
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
        if (!RigWaitUntil([&] { return FileExists(name + ".done"); })) return -1;
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
// ended again when the object goes.
class RigDevice {
public:
    RigDevice(unsigned port, const std::string &mode, const std::string &noise = "") : port_(port) {
        Unplug();
        EXPECT_EQ(0, RigQueue::Run("start " + std::to_string(port) + " " + mode + (noise.empty() ? "" : " " + noise)));
        ready_ = RigWaitUntil([&] { return Exists(Dir() + "/ready"); });
    }
    ~RigDevice() { Unplug(); }
    RigDevice(const RigDevice &) = delete;
    RigDevice &operator=(const RigDevice &) = delete;
    bool Ready() const { return ready_; }

    // The far end goes away while Wine runs on.
    void Unplug() {
        if (!Exists(Dir())) return;
        EXPECT_EQ(0, RigQueue::Run("unplug " + std::to_string(port_)));
        EXPECT_TRUE(RigWaitUntil([&] { return !Exists(Dir()); })) << "COM" << port_ << " not unplugged";
    }

private:
    std::string Dir() const { return RigEnv("QUILLON_BUILD") + "/rig/port" + std::to_string(port_); }
    static bool Exists(const std::string &unixPath) {
        return GetFileAttributesA(RigDosPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    unsigned port_;
    bool ready_ = false;
};

} // namespace quillon::test

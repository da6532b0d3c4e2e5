// Threads for tests that count the process's handles.
#pragma once

#include <windows.h>

#include <functional>
#include <utility>

namespace quillon::test {

// A thread of the system's own, joined when it goes: the leak checks count
// handles, and the C++ library's threads keep some of theirs for reuse.
class SystemThread {
public:
    explicit SystemThread(std::function<void()> body) : body_(std::move(body)) {
        handle_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~SystemThread() { Join(); }
    SystemThread(const SystemThread &) = delete;
    SystemThread &operator=(const SystemThread &) = delete;
    void Join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(void *self) {
        static_cast<SystemThread *>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
};

} // namespace quillon::test

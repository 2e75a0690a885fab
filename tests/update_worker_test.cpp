#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kiv {
namespace {

bool waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST(StartWorker, SecondStartWhileOneRunsStartsNothing) {
    std::atomic<bool> busy{false};
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    std::atomic<int> runs{0};

    ASSERT_TRUE(startWorker(busy, [&] {
        ++runs;
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return release; });
    }));
    EXPECT_TRUE(busy);
    EXPECT_FALSE(startWorker(busy, [&] { ++runs; }));
    EXPECT_TRUE(busy);

    {
        std::lock_guard<std::mutex> hold(lock);
        release = true;
    }
    changed.notify_all();
    EXPECT_TRUE(waitUntil([&] { return !busy; }));
    EXPECT_EQ(runs, 1);
}

TEST(StartWorker, BusyIsClearedOnlyAfterTheBodysLastStep) {
    std::atomic<bool> busy{false};
    std::atomic<bool> sawBusyAtTheEnd{false};
    std::atomic<bool> done{false};
    ASSERT_TRUE(startWorker(busy, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sawBusyAtTheEnd = busy.load();
        done = true;
    }));
    ASSERT_TRUE(waitUntil([&] { return !busy; }));
    EXPECT_TRUE(done);
    EXPECT_TRUE(sawBusyAtTheEnd);
}

TEST(StartWorker, AnEscapingExceptionStillClearsBusy) {
    std::atomic<bool> busy{false};
    ASSERT_TRUE(startWorker(busy, [] { throw std::runtime_error("stray"); }));
    EXPECT_TRUE(waitUntil([&] { return !busy; }));
}

// A process named KIV.EXE, started from a copy of a harmless program.
class ClientProcess {
public:
    explicit ClientProcess(const std::filesystem::path& directory) {
#ifdef _WIN32
        auto program = directory / L"KIV.EXE";
        std::filesystem::copy_file(std::filesystem::path(L"fake_client.exe"), program);
        std::wstring command = L"\"" + program.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process_) != 0;
        if (started_) WaitForInputIdle(process_.hProcess, 10000);
#else
        auto program = directory / "KIV.EXE";
        std::filesystem::copy_file("/bin/sleep", program);
        pid_ = fork();
        if (pid_ == 0) {
            execl(program.c_str(), "KIV.EXE", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        started_ = pid_ > 0;
#endif
    }
    ~ClientProcess() { stop(); }
    bool started() const { return started_; }
    void stop() {
        if (!started_) return;
#ifdef _WIN32
        TerminateProcess(process_.hProcess, 0);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
#else
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
#endif
        started_ = false;
    }

private:
    bool started_ = false;
#ifdef _WIN32
    PROCESS_INFORMATION process_{};
#else
    pid_t pid_ = -1;
#endif
};

TEST(IsClientRunning, SeesAClientWhoseNameDiffersOnlyInCase) {
    EXPECT_FALSE(isClientRunning());
    test::TempDir dir;
    ClientProcess client(dir.path());
    ASSERT_TRUE(client.started());
    EXPECT_TRUE(waitUntil([] { return isClientRunning(); }));
    client.stop();
    EXPECT_TRUE(waitUntil([] { return !isClientRunning(); }));
}

}  // namespace
}  // namespace kiv

#include "tests/client_process.h"
#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

TEST(StartWorker, AnEscapingExceptionStillClearsBusy) {
    std::atomic<bool> busy{false};
    ASSERT_TRUE(startWorker(busy, [] { throw std::runtime_error("stray"); }));
    EXPECT_TRUE(waitUntil([&] { return !busy; }));
}

TEST(IsClientRunning, SeesAClientWhoseNameDiffersOnlyInCase) {
    EXPECT_FALSE(isClientRunning());
    test::TempDir dir;
    test::ClientProcess client(dir.path());
    ASSERT_TRUE(client.started());
    EXPECT_TRUE(waitUntil([] { return isClientRunning(); }));
    client.stop();
    EXPECT_TRUE(waitUntil([] { return !isClientRunning(); }));
}

}  // namespace
}  // namespace kiv

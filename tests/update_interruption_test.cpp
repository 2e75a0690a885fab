// Ending the updater at any moment leaves an installation that the next run
// completes: the headless updater is killed at many points of a
// multi-version update and run again until it finishes, and the result must
// equal that of a run that was never interrupted.
#include "tests/patch_fixtures.h"
#include "tests/support.h"
#include "tools/http_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KIV_KIVTOOL
#error "KIV_KIVTOOL must name the kivtool program"
#endif

namespace kiv {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

Items manyItems(const std::string& prefix, int count, const std::string& salt) {
    Items items;
    for (int i = 0; i < count; ++i) {
        items.emplace_back(prefix + std::to_string(i) + ".bin", salt + std::string(100 + i % 900, char('a' + i % 26)));
    }
    return items;
}

void publish(const std::filesystem::path& root, int version, const Items& files) {
    std::string list;
    for (const auto& [name, content] : files) {
        list += name + "\r\n";
        std::string path = name;
        std::replace(path.begin(), path.end(), '\\', '/');
        test::writeFile(root / "kiv" / std::to_string(version) / path, content);
    }
    test::writeFile(root / "kiv" / std::to_string(version) / "dl_list.txt", list);
}

void makeInstallation(const std::filesystem::path& directory) {
    test::writeFile(directory / "kiv.exe", "client 57");
    test::writeFile(directory / "kiv.ver", "57\r\n");
    test::writeArchive(directory / "data" / "kiv_ui.hed", manyItems("ui\\", 300, "57"));
    test::writeArchive(directory / "data" / "kiv_map.hed", manyItems("map\\", 100, "57"));
}

// Everything an update changes: the version, the plain files, every item.
struct Snapshot {
    std::string version;
    std::map<std::string, std::string> files;
    std::map<std::string, Items> archives;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const std::filesystem::path& directory) {
    Snapshot result;
    result.version = test::readFile(directory / "kiv.ver");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        const auto relative = entry.path().lexically_relative(directory).generic_string();
        const auto extension = entry.path().extension();
        if (extension == ".hed") {
            result.archives[relative] = test::readArchive(entry.path());
        } else if (extension != ".dat") {
            result.files[relative] = test::readFile(entry.path());
        }
    }
    return result;
}

// Starts `kivtool update`; returns its process id.
pid_t startUpdate(const std::filesystem::path& directory, const std::string& base) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl(KIV_KIVTOOL, "kivtool", "update", directory.c_str(), "--base", base.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(UpdateInterruption, KilledRunsAreCompletedByTheNextRun) {
    test::TempDir serverRoot;
    Items v58 = manyItems("ui\\", 150, "58");
    publish(serverRoot.path(), 58,
            {{"data\\readme.txt", "readme 58"},
             {"kiv.exe", "client 58"},
             {"patches\\ui.npatch", test::packageBytes("data\\kiv_ui.hed", v58)},
             {"patches\\new.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("added\\", 200, "58"))}});
    publish(serverRoot.path(), 59,
            {{"patches\\a.cab", test::legacyFile(test::legacyGraph("data\\kiv_map.hed", {{"one.bin", "59 one"}}))},
             {"patches\\b.npatch", test::packageBytes("data\\kiv_ui.hed", manyItems("ui\\", 300, "59"))},
             {"new\\folder\\notes.txt", std::string(200000, 'n')}});
    publish(serverRoot.path(), 60, {{"patches\\c.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("map\\", 50, "60"))}});

    HttpServer server(serverRoot.path());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    const std::string base = server.url("/kiv/");

    // The reference: one run that nothing interrupts.
    test::TempDir reference;
    makeInstallation(reference.path());
    const auto started = Clock::now();
    ASSERT_EQ(waitFor(startUpdate(reference.path(), base)), 0);
    const auto fullRun = Clock::now() - started;
    const Snapshot expected = snapshot(reference.path());
    ASSERT_EQ(expected.version, "60\r\n");

    std::mt19937 random(20261206);
    // Kill moments are drawn from the length of a whole run; when a run ends
    // before its kill (the machine got faster, or the draw was late), the span
    // shrinks, so that the kills keep landing inside the work.
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(fullRun).count();
    constexpr int kWantedKills = 24;
    constexpr int kMinimumInstallations = 12;
    int killPoints = 0;
    int installations = 0;
    while ((installations < kMinimumInstallations || killPoints < kWantedKills) && installations < 40) {
        ++installations;
        test::TempDir installation;
        makeInstallation(installation.path());
        // A few kills, each at its own moment, then the run that completes.
        for (int attempt = 0; attempt < 3; ++attempt) {
            pid_t pid = startUpdate(installation.path(), base);
            std::uniform_int_distribution<long long> delay(0, span);
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                status = waitFor(pid);
                if (WIFSIGNALED(status)) {
                    ++killPoints;
                    continue;
                }
            }
            span = span * 3 / 4 + 1;
            ASSERT_TRUE(WIFEXITED(status));
            if (WEXITSTATUS(status) == 0) break;
        }
        // Whatever state the kills left, one more run completes it.
        ASSERT_EQ(waitFor(startUpdate(installation.path(), base)), 0);
        EXPECT_EQ(snapshot(installation.path()), expected) << "installation " << installations;
    }
    std::printf("[ kill points ] %d kills over %d installations\n", killPoints, installations);
    EXPECT_GE(killPoints, kWantedKills);
}

}  // namespace
}  // namespace kiv

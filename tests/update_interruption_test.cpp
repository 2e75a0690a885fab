// Ending the updater at any moment leaves an installation that the next run
// completes: the headless updater is killed at many points of a
// multi-version update, or the power is cut at each of its flush boundaries,
// and it is run again until it finishes; the result must equal that of a run
// that was never interrupted.
#include "tests/patch_fixtures.h"
#include "tests/power_cut_layer.h"
#include "tests/support.h"
#include "tools/http_server.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KIV_KIVTOOL
#error "KIV_KIVTOOL must name the kivtool program"
#endif

namespace kiv {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

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

// Three versions: plain files in new and existing folders, a new client and
// a file named like the launcher, packages that replace and add items, a
// legacy patch. `items` sets the size of the archives' contents.
void publishRelease(const std::filesystem::path& root, int items) {
    publish(root, 58,
            {{"data\\readme.txt", "readme 58"},
             {"kiv.exe", "client 58"},
             {"kiv_launcher.exe", "launcher 58"},
             {"patches\\ui.npatch", test::packageBytes("data\\kiv_ui.hed", manyItems("ui\\", items / 2, "58"))},
             {"patches\\new.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("added\\", items * 2 / 3, "58"))}});
    publish(root, 59,
            {{"patches\\a.cab", test::legacyFile(test::legacyGraph("data\\kiv_map.hed", {{"one.bin", "59 one"}}))},
             {"patches\\b.npatch", test::packageBytes("data\\kiv_ui.hed", manyItems("ui\\", items, "59"))},
             {"new\\folder\\notes.txt", std::string(666 * items, 'n')},
             {"data\\readme.txt", std::string(7 * items, 'r')}});
    publish(root, 60,
            {{"patches\\c.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("map\\", items / 6, "60"))},
             {"kiv.exe", "client 60"}});
}

void makeInstallation(const std::filesystem::path& directory, int items) {
    test::writeFile(directory / "kiv.exe", "client 57");
    test::writeFile(directory / "kiv_launcher.exe", "launcher 57");
    test::writeFile(directory / "kiv.ver", "57\r\n");
    test::writeArchive(directory / "data" / "kiv_ui.hed", manyItems("ui\\", items, "57"));
    test::writeArchive(directory / "data" / "kiv_map.hed", manyItems("map\\", items / 3, "57"));
}

// Everything an update changes: the version, the plain files, every item.
struct Snapshot {
    std::string version;
    std::map<std::string, std::string> files;
    std::map<std::string, Items> archives;
    auto operator<=>(const Snapshot&) const = default;
};

Snapshot snapshot(const std::filesystem::path& directory) {
    Snapshot result;
    result.version = test::readFile(directory / "kiv.ver");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        const auto relative = entry.path().lexically_relative(directory).generic_string();
        const auto extension = entry.path().extension();
        // The launcher's moved-aside copy is deleted by its next start.
        if (extension == ".old") continue;
        if (extension == ".hed") {
            result.archives[relative] = test::readArchive(entry.path());
        } else if (extension != ".dat") {
            result.files[relative] = test::readFile(entry.path());
        }
    }
    return result;
}

// A loopback server with the three versions; `expected` is what a run that
// nothing interrupts leaves.
class UpdateInterruption : public ::testing::Test {
protected:
    void serve(int items) {
        publishRelease(serverRoot.path(), items);
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
    }
    void expectReference(const std::filesystem::path& reference) {
        expected = snapshot(reference);
        ASSERT_EQ(expected.version, "60\r\n");
    }

    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    Snapshot expected;
};

// Starts `kivtool update`, its output dropped; returns its process id.
pid_t startUpdate(const std::filesystem::path& directory, const std::string& base) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        dup2(1, 2);
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

TEST_F(UpdateInterruption, KilledRunsAreCompletedByTheNextRun) {
    constexpr int kItems = 300;
    serve(kItems);
    const std::string base = server.url("/kiv/");
    test::TempDir reference;
    makeInstallation(reference.path(), kItems);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(waitFor(startUpdate(reference.path(), base)), 0);
    // Kill moments are drawn from the length of a whole run; when a run ends
    // before its kill (the machine got faster, or the draw was late), the span
    // shrinks, so that the kills keep landing inside the work.
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    expectReference(reference.path());

    std::mt19937 random(20261206);
    int kills = 0;
    int installations = 0;
    // What the kills left behind: a series whose kills all land before or
    // after the work would see only one or two states.
    std::set<Snapshot> statesLeft;
    while ((kills < 24 || statesLeft.size() < 8) && installations < 40) {
        ++installations;
        test::TempDir installation;
        makeInstallation(installation.path(), kItems);
        // A few kills, each at its own moment, then the run that completes.
        for (int attempt = 0; attempt < 3; ++attempt) {
            pid_t pid = startUpdate(installation.path(), base);
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<long long>(0, span)(random)));
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                status = waitFor(pid);
                if (WIFSIGNALED(status)) {
                    ++kills;
                    statesLeft.insert(snapshot(installation.path()));
                    continue;
                }
            }
            span = span * 3 / 4 + 1;
            ASSERT_TRUE(WIFEXITED(status));
            if (WEXITSTATUS(status) == 0) break;
        }
        ASSERT_EQ(waitFor(startUpdate(installation.path(), base)), 0);
        EXPECT_EQ(snapshot(installation.path()), expected) << "installation " << installations;
    }
    std::printf("[ kill points ] %d kills over %d installations, leaving %zu different states\n", kills,
                installations, statesLeft.size());
    EXPECT_GE(kills, 24);
    EXPECT_GE(statesLeft.size(), 8u);
}

// Keeps what a run shows in message boxes and whether it finished.
class RunOutcome : public Reporter {
public:
    void setStatusText(StatusRow, const std::wstring&) override {}
    void setProgress(StatusRow, int) override {}
    void setTitle(const std::wstring&) override {}
    void showMessage(const std::wstring& text, MessageIcon) override { messages += wideToUtf8(text) + "\n"; }
    void setClientReady(bool ready) override { finished = ready; }
    void invalidateStatusBand() override {}

    std::string messages;
    bool finished = false;
};

// Runs the update in this process, swapping the file named like the launcher
// as the launcher's own. False when the run met a client process, which other
// tests on the machine may start at any time: the trial is played again.
bool runInProcess(const std::filesystem::path& installation, const std::wstring& base, RunOutcome& outcome) {
    outcome = RunOutcome();
    runUpdate(installation, base, outcome, UpdateOptions{.launcherFileName = L"kiv_launcher.exe"});
    if (outcome.messages.find("Please close") == std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return false;
}

TEST_F(UpdateInterruption, PowerCutAtEveryFlushBoundaryIsCompletedByTheNextRun) {
    using Loss = test::PowerCutLayer::Loss;
    constexpr int kItems = 30;
    serve(kItems);
    const std::wstring base = server.wideUrl("/kiv/");
    test::ScratchDir scratch;
    const auto start = scratch.path() / "start";
    makeInstallation(start, kItems);
    const auto fresh = [&](const std::filesystem::path& directory) {
        std::filesystem::remove_all(directory);
        std::filesystem::copy(start, directory, std::filesystem::copy_options::recursive);
        return directory;
    };

    // The run that nothing interrupts, counting the boundaries it passes.
    const auto reference = scratch.path() / "reference";
    int boundaries = 0;
    for (bool done = false; !done;) {
        test::PowerCutLayer counter(fresh(reference), 0);
        RunOutcome outcome;
        done = runInProcess(reference, base, outcome);
        ASSERT_TRUE(outcome.finished || !done) << outcome.messages;
        boundaries = counter.boundaries();
    }
    expectReference(reference);

    int cuts = 0;
    for (int boundary = 1; boundary <= boundaries; ++boundary) {
        // Unflushed data dropped at every boundary; kept or torn in turn.
        for (const Loss loss : {Loss::drop, boundary % 2 ? Loss::torn : Loss::keep}) {
            const auto installation = scratch.path() / "cut";
            RunOutcome interrupted;
            RunOutcome next;
            for (bool done = false; !done;) {
                test::PowerCutLayer layer(fresh(installation), boundary);
                if (!runInProcess(installation, base, interrupted)) continue;
                ASSERT_TRUE(layer.powerWentOff()) << "boundary " << boundary << " never came";
                EXPECT_FALSE(interrupted.finished) << "boundary " << boundary << ": a failed write went unnoticed";
                layer.restore(loss);
                done = runInProcess(installation, base, next);
            }
            ++cuts;
            EXPECT_TRUE(next.finished && snapshot(installation) == expected)
                << "power cut at boundary " << boundary << " of " << boundaries << ", loss " << static_cast<int>(loss)
                << ": the next run left a different installation\n" << next.messages;
        }
    }
    std::printf("[ power cut ] %d flush boundaries, %d cuts\n", boundaries, cuts);
    // Every plain file, archive and the version record pass at least one.
    EXPECT_GE(boundaries, 30);
}

}  // namespace
}  // namespace kiv

// Ending the updater at any moment leaves an installation that the next run
// completes: the headless updater is killed at many points of a
// multi-version update, or the power is cut at each of its flush boundaries,
// and it is run again until it finishes; the result must equal that of a run
// that was never interrupted.
#include "tests/patch_fixtures.h"
#include "tests/power_cut_layer.h"
#include "tools/loopback_server/loopback_server.h"
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

namespace kiv {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;
using Loss = test::PowerCutLayer::Loss;

Items manyItems(const std::string& prefix, int count, const std::string& salt) {
    Items items;
    for (int i = 0; i < count; ++i) {
        items.emplace_back(prefix + std::to_string(i) + ".bin", salt + std::string(100 + i % 900, char('a' + i % 26)));
    }
    return items;
}

void publish(const std::filesystem::path& root, int version, const Items& files) {
    const std::filesystem::path folder = root / "kiv" / std::to_string(version);
    std::string list;
    for (const auto& [name, content] : files) {
        list += name + "\r\n";
        test::writeFile(joinEntryPath(folder, utf8ToWide(name)), content);
    }
    test::writeFile(folder / "dl_list.txt", list);
}

// Items that 60 changes by deltas: pseudo-random text, edited.
Items bigItems(const std::string& edit) {
    Items items;
    for (int k = 0; k < 3; ++k) {
        std::string text(48 * 1024, '\0');
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + ((i + k) * 2654435761u >> 17) % 26);
        text.replace(1000 * (k + 1), edit.size(), edit);
        items.emplace_back("ui\\big" + std::to_string(k) + ".bin", text);
    }
    return items;
}

// Three versions: plain files in new and existing folders, a new client and
// a file named like the launcher, packages that replace and add items, a
// legacy patch, and a version-2 package whose items are deltas.
constexpr int kItems = 60;
void publishRelease(const std::filesystem::path& root) {
    publish(root, 58,
            {{"data\\readme.txt", "readme 58"},
             {"kiv.exe", "client 58"},
             {"kiv_launcher.exe", "launcher 58"},
             {"patches\\ui.npatch", test::packageBytes("data\\kiv_ui.hed", manyItems("ui\\", kItems / 2, "58"))},
             {"patches\\new.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("added\\", kItems / 2, "58"))}});
    publish(root, 59,
            {{"patches\\a.cab", test::legacyFile(test::legacyGraph("data\\kiv_map.hed", {{"one.bin", "59 one"}}))},
             {"patches\\b.npatch", test::packageBytes("data\\kiv_ui.hed", manyItems("ui\\", kItems, "59"))},
             {"new\\folder\\notes.txt", std::string(666 * kItems, 'n')},
             {"data\\readme.txt", std::string(7 * kItems, 'r')}});
    publish(root, 60,
            {{"patches\\c.npatch", test::packageBytes("data\\kiv_map.hed", manyItems("map\\", kItems / 6, "60"))},
             {"patches\\d.npatch", test::deltaPackageBytes("data\\kiv_ui.hed", bigItems("sixty"), bigItems(""))},
             {"kiv.exe", "client 60"}});
}

// Everything an update changes, by file name: the bytes of each plain file,
// the items of each archive as the game reads them.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::filesystem::path& directory) {
    Snapshot result;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        const auto extension = entry.path().extension();
        if (!entry.is_regular_file() || extension == ".dat") continue;
        std::string& content = result[entry.path().lexically_relative(directory).generic_string()];
        if (extension != ".hed") {
            content = test::readFile(entry.path());
        } else {
            for (const auto& [name, data] : test::readArchive(entry.path())) content += name + "\n" + data + "\n";
        }
    }
    return result;
}

// Keeps what a run shows in message boxes and whether it finished.
struct RunOutcome : Reporter {
    void setStatusText(StatusRow, const std::wstring&) override {}
    void setProgress(StatusRow, int) override {}
    void setTitle(const std::wstring&) override {}
    void showMessage(const std::wstring& text, MessageIcon) override { messages += wideToUtf8(text) + "\n"; }
    void setClientReady(bool ready) override { finished = ready; }

    std::string messages;
    bool finished = false;
};

// The three versions on a loopback server, the installation of 57, and what
// a run that nothing interrupts leaves of it.
class UpdateInterruption : public ::testing::Test {
protected:
    void SetUp() override {
        publishRelease(serverRoot.path());
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        const std::filesystem::path start = scratch / "start";
        test::writeFile(start / "kiv.exe", "client 57");
        test::writeFile(start / "kiv_launcher.exe", "launcher 57");
        test::writeFile(start / "kiv.ver", "57\r\n");
        Items ui = manyItems("ui\\", kItems, "57");
        for (auto& item : bigItems("")) ui.push_back(std::move(item));
        test::writeArchive(start / "data" / "kiv_ui.hed", ui);
        test::writeArchive(start / "data" / "kiv_map.hed", manyItems("map\\", kItems / 3, "57"));
        for (bool done = false; !done;) {
            test::PowerCutLayer counter(fresh(scratch / "reference"), 0);
            RunOutcome outcome;
            done = runInProcess(scratch / "reference", outcome);
            removeReplacedLauncher(scratch / "reference", L"kiv_launcher.exe");
            ASSERT_TRUE(outcome.finished || !done) << outcome.messages;
            boundaries = counter.boundaries();
        }
        expected = snapshot(scratch / "reference");
        ASSERT_EQ(expected["kiv.ver"], "60\r\n");
        ASSERT_NE(expected["data/kiv_ui.hed"].find(bigItems("sixty")[2].second), std::string::npos);
    }

    // A copy of the installation of 57 at `directory`.
    std::filesystem::path fresh(const std::filesystem::path& directory) {
        std::filesystem::remove_all(directory);
        std::filesystem::copy(scratch / "start", directory, std::filesystem::copy_options::recursive);
        return directory;
    }

    // Runs the update in this process, swapping the file named like the
    // launcher as the launcher's own. False when the run met a client
    // process, which other tests on the machine may start at any time.
    bool runInProcess(const std::filesystem::path& installation, RunOutcome& outcome) {
        outcome = RunOutcome();
        runUpdate(installation, server.wideUrl("/kiv/"), outcome, {.launcherFileName = L"kiv_launcher.exe"});
        if (outcome.messages.find("Please close") == std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return false;
    }

    // The next run, played again while it meets a client, must leave what
    // the uninterrupted run left.
    void expectCompleted(const std::filesystem::path& installation, const std::string& interruption) {
        RunOutcome outcome;
        while (!runInProcess(installation, outcome)) {
        }
        // The next start deletes what the swap left beside the launcher.
        removeReplacedLauncher(installation, L"kiv_launcher.exe");
        EXPECT_TRUE(outcome.finished && snapshot(installation) == expected)
            << interruption << ": the next run left a different installation\n" << outcome.messages;
    }

    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    test::ScratchDir scratch;
    Snapshot expected;
    int boundaries = 0;
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

TEST_F(UpdateInterruption, KilledRunsAreCompletedByTheNextRun) {
    const std::string base = server.url("/kiv/");
    // On disk, where the flushes take their time, the work spreads over more
    // of the run. Kill moments are drawn from the length of a whole run; when
    // a run ends before its kill (the machine got faster, or the draw was
    // late), the span shrinks, so that the kills keep landing inside the work.
    test::TempDir disk;
    const auto started = std::chrono::steady_clock::now();
    waitpid(startUpdate(fresh(disk / "timed"), base), nullptr, 0);
    const auto run = std::chrono::steady_clock::now() - started;
    long long span = std::chrono::duration_cast<std::chrono::microseconds>(run).count();
    std::mt19937 random(20261206);
    int kills = 0;
    int installations = 0;
    // What the kills left behind: a series whose kills all land before or
    // after the work would see only one or two states.
    std::set<Snapshot> statesLeft;
    while ((kills < 24 || statesLeft.size() < 8) && installations < 40) {
        ++installations;
        const std::filesystem::path installation = fresh(disk / "killed");
        // A few kills, each at its own moment, then the run that completes.
        for (int attempt = 0; attempt < 3; ++attempt) {
            pid_t pid = startUpdate(installation, base);
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution(0ll, span)(random)));
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                if (WIFSIGNALED(status)) {
                    ++kills;
                    statesLeft.insert(snapshot(installation));
                    continue;
                }
            }
            span = span * 3 / 4 + 1;
            ASSERT_TRUE(WIFEXITED(status));
            if (WEXITSTATUS(status) == 0) break;
        }
        expectCompleted(installation, "installation " + std::to_string(installations));
    }
    std::printf("[ kill points ] %d kills over %d installations, leaving %zu different states\n", kills,
                installations, statesLeft.size());
    EXPECT_GE(kills, 24);
    EXPECT_GE(statesLeft.size(), 8u);
}

TEST_F(UpdateInterruption, PowerCutAtEveryFlushBoundaryIsCompletedByTheNextRun) {
    // Every plain file, archive and the version record pass at least one.
    EXPECT_GE(boundaries, 30);
    for (int boundary = 1; boundary <= boundaries; ++boundary) {
        // Unflushed data dropped at every boundary; kept or torn in turn.
        for (const Loss loss : {Loss::drop, boundary % 2 ? Loss::torn : Loss::keep}) {
            // A trial whose run met a client before the cut is played again.
            for (bool cut = false; !cut;) {
                test::PowerCutLayer layer(fresh(scratch / "cut"), boundary);
                RunOutcome interrupted;
                if (!runInProcess(scratch / "cut", interrupted)) continue;
                ASSERT_TRUE(layer.powerWentOff()) << "boundary " << boundary << " never came";
                EXPECT_FALSE(interrupted.finished) << "boundary " << boundary << ": a failed write went unnoticed";
                layer.restore(loss);
                // The launcher swap's two renames follow each other with no
                // flush between them: the one moment without a program under
                // the launcher's name, so no cut can leave the player without one.
                EXPECT_TRUE(std::filesystem::exists(scratch / "cut" / "kiv_launcher.exe"))
                    << "boundary " << boundary << ": no launcher left";
                // What the interrupted swap left beside it, the next start deletes.
                removeReplacedLauncher(scratch / "cut", L"kiv_launcher.exe");
                for (const char* leftover : {"kiv_launcher.exe.old", "kiv_launcher.exe.new", "kiv_launcher.exe.new.kivnew"}) {
                    EXPECT_FALSE(std::filesystem::exists(scratch / "cut" / leftover)) << "boundary " << boundary;
                }
                cut = true;
            }
            expectCompleted(scratch / "cut", "power cut at boundary " + std::to_string(boundary) + " of " +
                                                 std::to_string(boundaries) + ", loss " +
                                                 std::to_string(static_cast<int>(loss)));
        }
    }
    std::printf("[ power cut ] %d flush boundaries, each cut with two losses\n", boundaries);
}

}  // namespace
}  // namespace kiv

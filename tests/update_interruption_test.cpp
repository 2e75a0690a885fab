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
    bool operator==(const Snapshot&) const = default;
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

// The recorded version and every file's name and size.
std::string stateOf(const std::filesystem::path& directory) {
    std::string state = test::readFile(directory / "kiv.ver");
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path().lexically_relative(directory).generic_string() + ":" +
                            std::to_string(entry.file_size()));
        }
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) state += file + "\n";
    return state;
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
    constexpr int kItems = 300;
    test::TempDir serverRoot;
    publishRelease(serverRoot.path(), kItems);

    HttpServer server(serverRoot.path());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    const std::string base = server.url("/kiv/");

    // The reference: one run that nothing interrupts.
    test::TempDir reference;
    makeInstallation(reference.path(), kItems);
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
    // What the kills left behind, told apart by the recorded version and the
    // name and size of every file: a series whose kills all land before or
    // after the work would see only one or two.
    std::set<std::string> statesLeft;
    constexpr std::size_t kWantedStates = 8;
    while ((installations < kMinimumInstallations || killPoints < kWantedKills || statesLeft.size() < kWantedStates) &&
           installations < 40) {
        ++installations;
        test::TempDir installation;
        makeInstallation(installation.path(), kItems);
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
                    statesLeft.insert(stateOf(installation.path()));
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
    std::printf("[ kill points ] %d kills over %d installations, leaving %zu different states\n", killPoints,
                installations, statesLeft.size());
    EXPECT_GE(killPoints, kWantedKills);
    EXPECT_GE(statesLeft.size(), kWantedStates);
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

    // The run met a client process, which other tests on the machine may
    // start at any time.
    bool stoppedForClient() const {
        if (messages.find("Please close") == std::string::npos) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }

    std::string messages;
    bool finished = false;
};

TEST(UpdatePowerCut, CutAtEveryFlushBoundaryIsCompletedByTheNextRun) {
    using Loss = test::PowerCutLayer::Loss;
    constexpr int kItems = 30;
    test::TempDir serverRoot;
    publishRelease(serverRoot.path(), kItems);
    HttpServer server(serverRoot.path());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    const std::wstring base = server.wideUrl("/kiv/");
    // The file named like the launcher is swapped as the launcher's own.
    UpdateOptions launcher;
    launcher.launcherFileName = L"kiv_launcher.exe";

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
    for (bool again = true; again;) {
        test::PowerCutLayer counter(fresh(reference), 0);
        RunOutcome outcome;
        runUpdate(reference, base, outcome, launcher);
        again = outcome.stoppedForClient();
        ASSERT_TRUE(outcome.finished || again) << outcome.messages;
        boundaries = counter.boundaries();
    }
    const Snapshot expected = snapshot(reference);
    ASSERT_EQ(expected.version, "60\r\n");

    const struct {
        Loss loss;
        const char* name;
    } losses[] = {{Loss::drop, "unflushed data dropped"}, {Loss::keep, "everything kept"}, {Loss::torn, "torn"}};
    int cuts = 0;
    int differences = 0;
    for (int boundary = 1; boundary <= boundaries; ++boundary) {
        // Unflushed data dropped at every boundary; kept or torn in turn.
        for (const auto& [loss, name] : {losses[0], losses[1 + boundary % 2]}) {
            const auto installation = scratch.path() / "cut";
            RunOutcome next;
            // A trial that a client process elsewhere on the machine stopped
            // is played again from the start.
            for (bool again = true; again;) {
                test::PowerCutLayer layer(fresh(installation), boundary);
                RunOutcome interrupted;
                runUpdate(installation, base, interrupted, launcher);
                if (interrupted.stoppedForClient()) continue;
                ASSERT_TRUE(layer.powerWentOff()) << "boundary " << boundary << " never came";
                EXPECT_FALSE(interrupted.finished) << "boundary " << boundary << ": a failed write went unnoticed";
                layer.restore(loss);
                next = RunOutcome();
                runUpdate(installation, base, next, launcher);
                again = next.stoppedForClient();
            }
            ++cuts;
            if (!next.finished || snapshot(installation) != expected) {
                ++differences;
                ADD_FAILURE() << "power cut at boundary " << boundary << " of " << boundaries << ", " << name
                              << ": the next run left a different installation\n"
                              << next.messages;
            }
        }
    }
    std::printf("[ power cut ] %d flush boundaries, %d cuts, %d differences\n", boundaries, cuts, differences);
    EXPECT_EQ(differences, 0);
    // Every plain file, archive and the version record pass at least one.
    EXPECT_GE(boundaries, 30);
}

}  // namespace
}  // namespace kiv

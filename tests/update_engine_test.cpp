// The version check, the update run and the installation of downloaded
// files, against a loopback patch server.
#include "tests/client_process.h"
#include "tests/update_fixture.h"
#include "tools/http_server.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>

namespace kiv {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// Records everything the core reports, in order, as readable lines.
class Recorder : public Reporter {
public:
    void setStatusText(StatusRow row, const std::wstring& text) override {
        add(std::string(row == StatusRow::version ? "version: " : "download: ") + wideToUtf8(text));
    }
    void setProgress(StatusRow row, int percent) override {
        add(std::string(row == StatusRow::version ? "version%: " : "download%: ") + std::to_string(percent));
    }
    void setTitle(const std::wstring& title) override { add("title: " + wideToUtf8(title)); }
    void showMessage(const std::wstring& text, MessageIcon icon) override {
        add(std::string(icon == MessageIcon::error ? "error: " : "warning: ") + wideToUtf8(text));
    }
    void setClientReady(bool ready) override { add(ready ? "ready: 1" : "ready: 0"); }
    void invalidateStatusBand() override { add("invalidate"); }

    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    std::vector<std::string> eventsStartingWith(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const std::string& event : events()) {
            if (event.starts_with(prefix)) out.push_back(event);
        }
        return out;
    }
    bool saw(const std::string& event) const {
        auto all = events();
        return std::find(all.begin(), all.end(), event) != all.end();
    }

    // Called with every event as it happens; may throw to simulate failures.
    std::function<void(const std::string&)> onEvent;
    // When set, records whether it was still set at each event.
    std::atomic<bool>* busy = nullptr;
    std::atomic<bool> busyAtEveryEvent{true};

private:
    void add(std::string event) {
        if (busy != nullptr && !busy->load()) busyAtEveryEvent = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            events_.push_back(event);
        }
        if (onEvent) onEvent(event);
    }
    mutable std::mutex lock_;
    std::vector<std::string> events_;
};

class UpdateEngine : public test::InstallationWithServer {
protected:
    // Publishes a version: its list as given, and each file under its URL path.
    void publish(int version, const std::string& list, const Items& files) {
        const auto folder = serverRoot / "kiv" / std::to_string(version);
        test::writeFile(folder / "dl_list.txt", list);
        for (const auto& [name, content] : files) {
            std::string path = name;
            std::replace(path.begin(), path.end(), '\\', '/');
            test::writeFile(folder / path, content);
        }
    }

    std::vector<std::string> requestedTargets() const {
        std::vector<std::string> out;
        for (const auto& request : server.requests()) out.push_back(request.target);
        return out;
    }

    Recorder recorder;
};

const std::vector<std::string> kUpToDate = {"ready: 1",      "version: Version Check OK", "download: Success",
                                            "version%: 100", "download%: 100",           "invalidate"};

// ---- Version check ----------------------------------------------------------------

TEST_F(UpdateEngine, VersionCheck_MissingVersionFileShowsFailureAndLeavesTheRest) {
    std::filesystem::remove(install / "kiv.ver");
    runVersionCheck(install.path(), base, recorder);
    EXPECT_EQ(recorder.events(), (std::vector<std::string>{"version: Version check failed", "download: Press Update"}));
}

TEST_F(UpdateEngine, VersionCheck_PublishedNextVersionOffersTheUpdate) {
    publish(58, "a.txt\n", {{"a.txt", "a"}});
    runVersionCheck(install.path(), base, recorder);
    EXPECT_EQ(recorder.events(),
              (std::vector<std::string>{"version: Checking version", "download: Please wait",
                                        "title: KIV Client Ver. 57", "ready: 0", "version: Update available",
                                        "download: Press Update", "version%: 0", "download%: 0", "invalidate"}));
    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{"/kiv/58/dl_list.txt"}));
}

TEST_F(UpdateEngine, VersionCheck_MissingOrBlankListMeansUpToDate) {
    runVersionCheck(install.path(), base, recorder);  // 404
    auto events = recorder.events();
    ASSERT_EQ(events.size(), 3 + kUpToDate.size());
    EXPECT_TRUE(std::equal(kUpToDate.begin(), kUpToDate.end(), events.begin() + 3));

    Recorder blank;
    publish(58, "\r\n\n\r\n", {});
    runVersionCheck(install.path(), base, blank);
    EXPECT_TRUE(blank.saw("version: Version Check OK"));
    EXPECT_FALSE(blank.saw("version: Update available"));
}

// A server that answers every path with a page: the page is not a list, so
// no version is offered, and the run installs nothing and counts the client
// as current (a correctly updated client stays playable behind a hosting
// fallback page or a captive portal, as behind an unreachable server).
TEST_F(UpdateEngine, CatchAllServerOffersNoVersionAndInstallsNothing) {
    HttpRoute page;
    page.body = "<!DOCTYPE html>\n<html><head><title>Welcome</title></head>\n<body>Parked</body></html>\n";
    server.setRoute("*", page);
    runVersionCheck(install.path(), base, recorder);
    EXPECT_FALSE(recorder.saw("version: Update available"));
    EXPECT_TRUE(recorder.saw("ready: 1"));

    Recorder run;
    runUpdate(install.path(), base, run);
    EXPECT_EQ(run.eventsStartingWith("error"), std::vector<std::string>{});
    EXPECT_TRUE(run.saw("version: Version Check OK"));
    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{"/kiv/58/dl_list.txt", "/kiv/58/dl_list.txt"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(install.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kiv.exe", "kiv.ver"}));
}

// The highest version has no successor: nothing is asked for, no overflow.
TEST_F(UpdateEngine, HighestVersionAsksForNothingNewer) {
    test::writeFile(install / "kiv.ver", "2147483647\r\n");
    runVersionCheck(install.path(), base, recorder);
    EXPECT_TRUE(recorder.saw("version: Version Check OK"));
    Recorder run;
    runUpdate(install.path(), base, run);
    EXPECT_TRUE(run.saw("version: Version Check OK"));
    EXPECT_EQ(run.eventsStartingWith("version: Checking"), std::vector<std::string>{});
    EXPECT_EQ(requestedTargets(), std::vector<std::string>{});
}

TEST_F(UpdateEngine, VersionCheck_AnExceptionCountsAsAFailedProbe) {
    publish(58, "a.txt\n", {{"a.txt", "a"}});
    recorder.onEvent = [](const std::string& event) {
        if (event.starts_with("title: ")) throw std::bad_alloc();
    };
    runVersionCheck(install.path(), base, recorder);
    auto events = recorder.events();
    ASSERT_GE(events.size(), kUpToDate.size());
    EXPECT_TRUE(std::equal(kUpToDate.begin(), kUpToDate.end(), events.end() - kUpToDate.size()));
}

TEST_F(UpdateEngine, VersionCheck_WorkerBusyIsClearedOnlyAfterTheLastReport) {
    std::atomic<bool> busy{false};
    recorder.busy = &busy;
    const auto directory = install.path();
    ASSERT_TRUE(startWorker(busy, [&] { runVersionCheck(directory, base, recorder); }));
    for (int i = 0; i < 1000 && busy; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(busy);
    EXPECT_TRUE(recorder.saw("invalidate"));
    EXPECT_TRUE(recorder.busyAtEveryEvent);
}

// ---- Update run ----------------------------------------------------------------------

TEST_F(UpdateEngine, UpdateRun_TwoVersionsInTwoPasses) {
    test::writeArchive(install / "data" / "kiv_ui.hed", {{"ui\\a.bmp", "old a"}, {"b.bmp", "old b"}});
    publish(58, "data\\readme.txt\r\nnew\\folder\\notes.txt\r\npatches\\ui.npatch\r\n",
            {{"data\\readme.txt", "readme 58"},
             {"new\\folder\\notes.txt", "notes"},
             {"patches\\ui.npatch",
              test::packageBytes("data\\kiv_ui.hed", {{"ui\\a.bmp", "new a"}, {"ui\\c.bmp", "added c"}})}});
    publish(59, "patches\\old.cab\npatches\\more.npatch\n",
            {{"patches\\old.cab", test::legacyFile(test::legacyGraph("\\data\\kiv_ui.hed", {{"b.bmp", "b 59"}}))},
             {"patches\\more.npatch", test::packageBytes("C:\\data\\kiv_ui.hed", {{"ui\\a.bmp", "a 59"}})}});

    runUpdate(install.path(), base, recorder);

    EXPECT_EQ(recorder.eventsStartingWith("error"), std::vector<std::string>{});
    EXPECT_EQ(recorder.eventsStartingWith("title: "),
              (std::vector<std::string>{"title: KIV Client Ver. 57", "title: KIV Client Ver. 58",
                                        "title: KIV Client Ver. 59"}));
    EXPECT_TRUE(recorder.saw("version: Checking version 60..."));
    auto events = recorder.events();
    ASSERT_GE(events.size(), kUpToDate.size());
    EXPECT_EQ(std::vector<std::string>(events.end() - 6, events.end()),
              (std::vector<std::string>{"version: Version Check OK", "download: Success", "version%: 100",
                                        "download%: 100", "ready: 1", "invalidate"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "59\r\n");
    EXPECT_EQ(test::readFile(install / "data" / "readme.txt"), "readme 58");
    EXPECT_EQ(test::readFile(install / "new" / "folder" / "notes.txt"), "notes");
    EXPECT_EQ(test::readArchive(install / "data" / "kiv_ui.hed"),
              (Items{{"ui\\a.bmp", "a 59"}, {"b.bmp", "b 59"}, {"ui\\c.bmp", "added c"}}));
    EXPECT_FALSE(std::filesystem::exists(install / "patches"));
    EXPECT_FALSE(std::filesystem::exists(install / "ui.npatch"));
}

TEST_F(UpdateEngine, UpdateRun_NoNewerVersionOrEmptyListFinishesWithoutDownloads) {
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.events(),
              (std::vector<std::string>{"title: KIV Client Ver. 57", "version: Checking version 58...",
                                        "version: Version Check OK", "download: Success", "version%: 100",
                                        "download%: 100", "ready: 1", "invalidate"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");

    // A list of only blank lines ends the run the same way, downloading nothing.
    Recorder empty;
    publish(58, "\n\n", {});
    runUpdate(install.path(), base, empty);
    EXPECT_TRUE(empty.saw("ready: 1"));
    EXPECT_EQ(requestedTargets().back(), "/kiv/58/dl_list.txt");
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

TEST_F(UpdateEngine, UpdateRun_CountsFilesAndMovesTheVersionBarBeforeEachDownload) {
    publish(58, "a\nb\nc\nd\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("download: Total"),
              (std::vector<std::string>{"download: Total files (1/4)", "download: Total files (2/4)",
                                        "download: Total files (3/4)", "download: Total files (4/4)"}));
    std::vector<std::string> versionBar = recorder.eventsStartingWith("version%: ");
    EXPECT_EQ(std::vector<std::string>(versionBar.begin(), versionBar.begin() + 4),
              (std::vector<std::string>{"version%: 0", "version%: 25", "version%: 50", "version%: 75"}));
    EXPECT_EQ(test::readFile(install / "d"), "4");
}

TEST_F(UpdateEngine, UpdateRun_FailedDownloadStopsAndKeepsTheVersion) {
    publish(58, "a\nb\nc\nd\n", {{"a", "1"}, {"b", "2"}, {"d", "4"}});
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Download failed: c\nHTTP status 404."});
    EXPECT_FALSE(recorder.saw("ready: 1"));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
    EXPECT_FALSE(std::filesystem::exists(install / "a"));
    // What was downloaded stays until the next run clears it.
    EXPECT_TRUE(std::filesystem::exists(install / "patches" / "version_58" / "b"));
    for (const auto& target : requestedTargets()) EXPECT_NE(target, "/kiv/58/d");
}

TEST_F(UpdateEngine, UpdateRun_BusyServerIsRetriedWithTheRowSayingSoWhileTheProbeIsNot) {
    HttpRoute busy;
    busy.status = 503;
    busy.body = "busy";
    HttpRoute list;
    list.body = "a\n";
    server.setRouteSequence("/kiv/58/dl_list.txt", {busy, list});
    HttpRoute file;
    file.body = "1";
    server.setRouteSequence("/kiv/58/a", {busy, busy, file});
    UpdateOptions options;
    options.retryDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(10), std::chrono::milliseconds(10)};

    // The version check asks once and takes the busy answer as no update.
    runVersionCheck(install.path(), base, recorder, options);
    EXPECT_TRUE(recorder.saw("version: Version Check OK"));
    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{"/kiv/58/dl_list.txt"}));

    Recorder run;
    runUpdate(install.path(), base, run, options);
    EXPECT_EQ(run.eventsStartingWith("error"), std::vector<std::string>{});
    std::vector<std::string> row;
    for (const std::string& event : run.events()) {
        if (event.starts_with("download: T") || event.starts_with("download: R")) row.push_back(event);
    }
    EXPECT_EQ(row, (std::vector<std::string>{"download: Total files (1/1)", "download: Retrying (1/3)...",
                                             "download: Total files (1/1)", "download: Retrying (2/3)...",
                                             "download: Total files (1/1)"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
    EXPECT_EQ(test::readFile(install / "a"), "1");
}

TEST_F(UpdateEngine, UpdateRun_ClientStartedDuringDownloadsStopsBeforeTheNextFile) {
    publish(58, "a\nb\nc\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    test::TempDir clientDirectory;
    std::unique_ptr<test::ClientProcess> client;
    recorder.onEvent = [&](const std::string& event) {
        if (event == "download: Total files (2/3)") {
            client = std::make_unique<test::ClientProcess>(clientDirectory.path());
            // Wait until the process list shows it.
            for (int i = 0; i < 500 && !isClientRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    runUpdate(install.path(), base, recorder);
    ASSERT_TRUE(client && client->started());
    client->stop();
    EXPECT_EQ(recorder.eventsStartingWith("warning: "),
              std::vector<std::string>{"warning: Please close all KIV clients before updating."});
    for (const auto& target : requestedTargets()) EXPECT_NE(target, "/kiv/58/c");
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

TEST_F(UpdateEngine, UpdateRun_UnsafeEntryStopsBeforeAnyDownload) {
    // One entry of each rule family: an escape, a device, the launcher's state.
    for (const std::string unsafe : {"..\\kiv_evil.txt", "data\\nul.txt", "kiv.ver.tmp\\x"}) {
        publish(58, "a\n" + unsafe + "\n", {{"a", "1"}});
        const std::size_t before = requestedTargets().size();
        Recorder run;
        runUpdate(install.path(), base, run);
        EXPECT_EQ(run.eventsStartingWith("error: "),
                  std::vector<std::string>{"error: Download failed: " + unsafe + "\nUnsafe file name in download list."});
        EXPECT_EQ(requestedTargets().size(), before + 1) << "something was downloaded for " << unsafe;
    }
    EXPECT_FALSE(std::filesystem::exists(install.path().parent_path() / "kiv_evil.txt"));
    EXPECT_FALSE(std::filesystem::exists(install / "kiv.ver.tmp"));
}

// The running launcher cannot be overwritten on Windows: it is moved aside,
// the new program put in its place, and the caller told to restart.
TEST_F(UpdateEngine, UpdateRun_ListNamingTheLauncherSwapsItAndAsksForARestart) {
    test::writeFile(install / "kiv_launcher.exe", "launcher 57");
    publish(58, "KIV_Launcher.exe\n", {{"KIV_Launcher.exe", "launcher 58"}});
    int restarts = 0;
    UpdateOptions options;
    options.launcherFileName = L"kiv_launcher.exe";
    options.launcherReplaced = [&] { ++restarts; };
    runUpdate(install.path(), base, recorder, options);
    EXPECT_TRUE(recorder.saw("ready: 1"));
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe"), "launcher 58");
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe.old"), "launcher 57");
    EXPECT_TRUE(removeReplacedLauncher(install.path(), L"kiv_launcher.exe"));
    EXPECT_FALSE(std::filesystem::exists(install / "kiv_launcher.exe.old"));

    // Cut between the two renames: no program in place; doing it again puts
    // the new one there.
    test::TempDir downloads;
    test::writeFile(downloads / "new.exe", "launcher 59");
    std::filesystem::remove(install / "kiv_launcher.exe");
    EXPECT_TRUE(installLauncherProgram(downloads / "new.exe", install / "kiv_launcher.exe"));
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe"), "launcher 59");
}

// What cannot be removed from the version's folder (a patch of an earlier
// run among it) stops the run before anything is downloaded beside it.
TEST_F(UpdateEngine, UpdateRun_VersionFolderThatCannotBeClearedStopsTheRun) {
    publish(58, "a\n", {{"a", "1"}});
    const auto held = install / "patches" / "version_58" / "locked" / "stray.npatch";
    test::writeFile(held, "left over");
#ifdef _WIN32
    HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
#else
    if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not stop the superuser";
    const auto locked = held.parent_path();
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
#endif
    runUpdate(install.path(), base, recorder);
#ifdef _WIN32
    CloseHandle(handle);
#else
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
#endif
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Could not clear the download folder patches\\version_58."});
    // The release manifest is looked for before the folder is cleared; no
    // file of the version is asked for.
    EXPECT_EQ(requestedTargets(), (std::vector<std::string>{"/kiv/58/dl_list.txt", "/kiv/58/release.txt"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

TEST_F(UpdateEngine, UpdateRun_EntryWithLeadingSeparatorLandsInTheVersionFolder) {
    publish(58, "/top.txt\n", {{"top.txt", "top"}});
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(test::readFile(install / "top.txt"), "top");
    const auto targets = requestedTargets();
    EXPECT_NE(std::find(targets.begin(), targets.end(), "/kiv/58//top.txt"), targets.end());
}

TEST_F(UpdateEngine, UpdateRun_ChecksBeforeTheRun) {
    std::filesystem::remove(install / "kiv.ver");
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.events(), std::vector<std::string>{"error: Could not read kiv.ver."});

    Recorder noClient;
    std::filesystem::remove(install / "kiv.exe");
    runUpdate(install.path(), base, noClient);
    EXPECT_EQ(noClient.events(), std::vector<std::string>{"error: kiv.exe was not found beside the launcher."});

    test::writeFile(install / "kiv.exe", "client");
    test::TempDir clientDirectory;
    test::ClientProcess client(clientDirectory.path());
    ASSERT_TRUE(client.started());
    for (int i = 0; i < 500 && !isClientRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Recorder running;
    runUpdate(install.path(), base, running);
    EXPECT_EQ(running.events(), std::vector<std::string>{"warning: Please close KIV before updating."});
}

TEST_F(UpdateEngine, UpdateRun_UnexpectedFailureIsShownWithItsDescription) {
    recorder.onEvent = [](const std::string& event) {
        if (event.starts_with("title: ")) throw std::runtime_error("disk on fire");
    };
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Update failed unexpectedly.\ndisk on fire"});
}

TEST_F(UpdateEngine, UpdateRun_PlainFilesAreCopiedBeforePatchesAreApplied) {
    publish(58, "kiv.exe\npatches\\broken.npatch\n",
            {{"kiv.exe", "client 58"}, {"patches\\broken.npatch", test::packageBytes("data\\absent.hed", {})}});
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Patch failed:\nCould not open .hed/.dat pair."});
    EXPECT_EQ(test::readFile(install / "kiv.exe"), "client 58");
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

TEST_F(UpdateEngine, UpdateRun_UnwritableDestinationNamesTheFile) {
    std::filesystem::create_directories(install / "data" / "x.txt");  // a folder where the file should go
    publish(58, "first.txt\ndata\\x.txt\n", {{"first.txt", "1"}, {"data\\x.txt", "x"}});
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Patch failed:\nCould not install downloaded file: data\\x.txt"});
    EXPECT_EQ(test::readFile(install / "first.txt"), "1");
}

TEST_F(UpdateEngine, UpdateRun_VersionThatCannotBeRecordedStopsWithoutSuccess) {
    publish(58, "a.txt\n", {{"a.txt", "58"}});
    test::RefuseFileChanges full([](const FileChange& change) {
        return change.kind == FileChange::Kind::create && change.path.filename() == "kiv.ver.tmp";
    });
    runUpdate(install.path(), base, recorder);
    EXPECT_EQ(recorder.eventsStartingWith("error: "),
              std::vector<std::string>{"error: Could not record the installed version."});
    EXPECT_FALSE(recorder.saw("download: Success"));
    EXPECT_FALSE(recorder.saw("ready: 1"));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

TEST_F(UpdateEngine, UpdateRun_PatchOutsidePatchesFolderIsNeitherCopiedNorApplied) {
    test::writeArchive(install / "data" / "kiv_ui.hed", {{"a", "old"}});
    publish(58, "top.npatch\n", {{"top.npatch", test::packageBytes("data\\kiv_ui.hed", {{"a", "new"}})}});
    runUpdate(install.path(), base, recorder);
    EXPECT_TRUE(recorder.saw("ready: 1"));
    EXPECT_FALSE(std::filesystem::exists(install / "top.npatch"));
    EXPECT_EQ(test::readArchive(install / "data" / "kiv_ui.hed"), (Items{{"a", "old"}}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
}

TEST(DownloadProgressCallback, ShowsThePercentageOfTheAnnouncedTotal) {
    Recorder recorder;
    DownloadProgress progress = downloadProgressCallback(recorder);
    progress(1000, 2048);
    progress(2000, 2048);
    progress(2048, 2048);
    progress(500, 0);
    EXPECT_EQ(recorder.events(),
              (std::vector<std::string>{"download%: 48", "download%: 97", "download%: 100"}));
}

#ifndef _WIN32
// A copy that runs out of room half-way (here a file-size limit, with the
// signal that would end the process ignored) keeps the installed file whole.
TEST(InstallDownloads, FailedCopyKeepsTheOldBytes) {
    test::TempDir install, downloads;
    const std::string old(100000, 'o');
    test::writeFile(install / "data" / "big.bin", old);
    test::writeFile(downloads / "data" / "big.bin", std::string(200000, 'n'));
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{150000, 150000};
        setrlimit(RLIMIT_FSIZE, &limit);
        Recorder recorder;
        std::wstring error;
        const bool installed = installDownloads(install.path(), downloads.path(), {L"data\\big.bin"}, recorder, error);
        _exit(!installed && error == L"Could not install downloaded file: data\\big.bin" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the copy did not fail as expected";
    EXPECT_EQ(test::readFile(install / "data" / "big.bin"), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(install / "data"), {}), 1);
}
#endif

// A patch left in the folder by an earlier run is not the version's: only
// the patch files of the list are applied.
TEST(InstallDownloads, PatchTheListDoesNotNameIsNotApplied) {
    test::TempDir install, downloads;
    test::writeArchive(install / "x.hed", {{"a", "old"}, {"b", "old"}});
    test::writeFile(downloads / "patches" / "listed.npatch", test::packageBytes("x.hed", {{"a", "new"}}));
    test::writeFile(downloads / "patches" / "stray.npatch", test::packageBytes("x.hed", {{"b", "stray"}}));
    Recorder recorder;
    std::wstring error;
    EXPECT_TRUE(installDownloads(install.path(), downloads.path(), {L"patches\\listed.npatch"}, recorder, error))
        << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "x.hed"), (Items{{"a", "new"}, {"b", "old"}}));
}

}  // namespace
}  // namespace kiv

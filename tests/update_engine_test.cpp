// The version check, the update run with its release checks and the
// installation of downloaded files, against a loopback patch server.
#include "tests/client_process.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"
#include "tools/http_server.h"
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
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>

namespace kiv {
namespace {

using Events = std::vector<std::string>;
using Items = std::vector<std::pair<std::string, std::string>>;
using Files = std::map<std::string, std::string>;

// Records everything the core reports, in order, as readable lines.
class Recorder : public Reporter {
public:
    void setStatusText(StatusRow row, const std::wstring& text) override { add(name(row) + ": " + wideToUtf8(text)); }
    void setProgress(StatusRow row, int percent) override { add(name(row) + "%: " + std::to_string(percent)); }
    void setTitle(const std::wstring& title) override { add("title: " + wideToUtf8(title)); }
    void showMessage(const std::wstring& text, MessageIcon icon) override {
        add((icon == MessageIcon::error ? "error: " : "warning: ") + wideToUtf8(text));
    }
    void setClientReady(bool ready) override { add(ready ? "ready: 1" : "ready: 0"); }
    void invalidateStatusBand() override { add("invalidate"); }

    Events startingWith(std::initializer_list<std::string_view> prefixes) const {
        Events out;
        for (const std::string& event : events) {
            for (std::string_view prefix : prefixes) {
                if (event.starts_with(prefix)) out.push_back(event);
            }
        }
        return out;
    }

    Events events;
    // Called with every event as it happens; may throw to simulate failures.
    std::function<void(const std::string&)> onEvent;

private:
    static std::string name(StatusRow row) { return row == StatusRow::version ? "version" : "download"; }
    void add(const std::string& event) {
        events.push_back(event);
        if (onEvent) onEvent(event);
    }
};

const Files k57 = {{"kiv.exe", "client 57"}, {"kiv.ver", "57\r\n"}};

std::string manifestFor(int version, const Items& files) {
    ReleaseManifest manifest{version, {}};
    for (const auto& [name, content] : files) {
        manifest.entries.push_back({utf8ToWide(name), content.size(), {}});
        crypto::Sha256 hash;
        hash.update(content.data(), content.size());
        EXPECT_TRUE(hash.finish(manifest.entries.back().sha256));
    }
    return formatReleaseManifest(manifest);
}

// An installation of version 57 and a loopback patch server for it.
class UpdateEngine : public ::testing::Test {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        base = server.wideUrl("/kiv/");
        fresh();
    }

    // Back to version 57 with nothing published and no request seen.
    void fresh() {
        for (const auto& entry : std::filesystem::directory_iterator(install.path())) {
            std::filesystem::remove_all(entry.path());
        }
        for (const auto& [name, content] : k57) test::writeFile(install / name, content);
        std::filesystem::remove_all(serverRoot / "kiv");
        server.clearRoutes();
        asked();
    }

    std::filesystem::path folder(int version) { return serverRoot / "kiv" / std::to_string(version); }

    // Publishes a version: its list as given, and each file under its URL path.
    void publish(int version, const std::string& list, const Items& files) {
        test::writeFile(folder(version) / "dl_list.txt", list);
        for (auto [name, content] : files) {
            std::replace(name.begin(), name.end(), '\\', '/');
            test::writeFile(folder(version) / name, content);
        }
    }

    // Publishes the files, a list naming them in order and their manifest.
    void publishRelease(int version, const Items& files) {
        std::string list;
        for (const auto& file : files) list += file.first + "\r\n";
        Items all = files;
        all.emplace_back("release.txt", manifestFor(version, files));
        publish(version, list, all);
    }

    // The paths asked for since the last call, below the base.
    Events asked() {
        const std::vector<SeenRequest> seen = server.requests();
        Events paths;
        for (; seen_ < seen.size(); ++seen_) paths.push_back(seen[seen_].target.substr(5));
        return paths;
    }

    // The installation's files and their contents, the download area left out.
    Files installedFiles() const {
        Files files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(install.path())) {
            const std::string name = entry.path().lexically_relative(install.path()).generic_string();
            if (entry.is_regular_file() && !name.starts_with("patches/")) files[name] = test::readFile(entry.path());
        }
        return files;
    }

    test::TempDir install;
    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    std::wstring base;
    std::size_t seen_ = 0;
};

// The check offers the next version only when its list names a file; with
// nothing to offer, a run ends up to date having asked for that list alone
// and changed nothing. A failure while reporting counts as a failed probe.
TEST_F(UpdateEngine, NextVersionIsOfferedOnlyWhenItsListNamesAFile) {
    const Events upToDate = {"ready: 1", "version: Version Check OK", "download: Success", "version%: 100",
                             "download%: 100"};
    const Events offered = {"ready: 0", "version: Update available", "download: Press Update", "version%: 0",
                            "download%: 0"};
    const struct {
        const char* name;
        const char* installed;
        const char* list;  // 58's; none when null
        bool failing;      // the reporter throws at the title
        bool probes;
        const Events& shown;
    } rows[] = {
        {"published", "57", "a.txt\n", false, true, offered},
        {"no list", "57", nullptr, false, true, upToDate},
        {"blank list", "57", "\r\n\n\r\n", false, true, upToDate},
        {"a web page", "57", "<!DOCTYPE html>\n<html><body>Parked</body></html>\n", false, true, upToDate},
        {"highest version", "2147483647", "a.txt\n", false, false, upToDate},
        {"failure while reporting", "57", "a.txt\n", true, false, upToDate},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        test::writeFile(install / "kiv.ver", row.installed + std::string("\r\n"));
        if (row.list) publish(58, row.list, {});
        Recorder check;
        if (row.failing) {
            check.onEvent = [](const std::string& event) {
                if (event.starts_with("title: ")) throw std::bad_alloc();
            };
        }
        runVersionCheck(install.path(), base, check);
        Events expected = {"version: Checking version", "download: Please wait",
                           "title: KIV Client Ver. " + std::string(row.installed)};
        expected.insert(expected.end(), row.shown.begin(), row.shown.end());
        expected.push_back("invalidate");
        EXPECT_EQ(check.events, expected);
        const Events probe = row.probes ? Events{"58/dl_list.txt"} : Events{};
        EXPECT_EQ(asked(), probe);
        if (&row.shown == &offered || row.failing) continue;

        const Files before = installedFiles();
        Recorder run;
        runUpdate(install.path(), base, run);
        EXPECT_EQ(run.startingWith({"error: ", "warning: ", "ready: "}), Events{"ready: 1"});
        EXPECT_EQ(asked(), probe);
        EXPECT_EQ(installedFiles(), before);
    }
}

// Two versions in turn: plain files anywhere (a leading separator meaning
// the top), then the patches in the order of their names, a patch outside
// the download folder neither copied nor applied, each version recorded.
// The version bar moves before each download and while patches apply.
TEST_F(UpdateEngine, RunInstallsEveryNewerVersionInTurn) {
    test::writeArchive(install / "data" / "kiv_ui.hed", {{"ui\\a.bmp", "old a"}, {"b.bmp", "old b"}});
    publish(58, "data\\readme.txt\r\nnew\\folder\\notes.txt\r\n/top.txt\r\ntop.npatch\r\npatches\\ui.npatch\r\n",
            {{"data\\readme.txt", "readme 58"},
             {"new\\folder\\notes.txt", "notes"},
             {"top.txt", "top"},
             {"top.npatch", test::packageBytes("data\\kiv_ui.hed", {{"top.bmp", "from the top"}})},
             {"patches\\ui.npatch",
              test::packageBytes("data\\kiv_ui.hed", {{"ui\\a.bmp", "new a"}, {"ui\\c.bmp", "added c"}})}});
    publish(59, "patches\\old.cab\npatches\\more.npatch\n",
            {{"patches\\old.cab", test::legacyFile(test::legacyGraph("\\data\\kiv_ui.hed", {{"b.bmp", "b 59"}}))},
             {"patches\\more.npatch",
              test::packageBytes("C:\\data\\kiv_ui.hed", {{"ui\\a.bmp", "a 59"}, {"b.bmp", "b 59 first"}})}});
    Recorder run;
    runUpdate(install.path(), base, run);

    EXPECT_EQ(run.startingWith({"error: ", "warning: ", "title: ", "download: Total", "version%: "}),
              (Events{"title: KIV Client Ver. 57",   "download: Total files (1/5)", "version%: 0",
                      "download: Total files (2/5)", "version%: 20",                "download: Total files (3/5)",
                      "version%: 40",                "download: Total files (4/5)", "version%: 60",
                      "download: Total files (5/5)", "version%: 80",                "version%: 0",
                      "version%: 100",               "title: KIV Client Ver. 58",   "download: Total files (1/2)",
                      "version%: 0",                 "download: Total files (2/2)", "version%: 50",
                      "version%: 0",                 "version%: 50",                "version%: 100",
                      "title: KIV Client Ver. 59",   "version%: 100"}));
    EXPECT_EQ(Events(run.events.end() - 7, run.events.end()),
              (Events{"version: Checking version 60...", "version: Version Check OK", "download: Success",
                      "version%: 100", "download%: 100", "ready: 1", "invalidate"}));
    EXPECT_EQ(asked(), (Events{"58/dl_list.txt", "58/release.txt", "58/data/readme.txt", "58/new/folder/notes.txt",
                               "58//top.txt", "58/top.npatch", "58/patches/ui.npatch", "59/dl_list.txt",
                               "59/release.txt", "59/patches/old.cab", "59/patches/more.npatch", "60/dl_list.txt"}));
    EXPECT_EQ(test::readArchive(install / "data" / "kiv_ui.hed"),
              (Items{{"ui\\a.bmp", "a 59"}, {"b.bmp", "b 59"}, {"ui\\c.bmp", "added c"}}));
    Files files = installedFiles();
    files.erase("data/kiv_ui.hed");
    files.erase("data/kiv_ui.dat");
    EXPECT_EQ(files, (Files{{"data/readme.txt", "readme 58"},
                            {"kiv.exe", "client 57"},
                            {"kiv.ver", "59\r\n"},
                            {"new/folder/notes.txt", "notes"},
                            {"top.txt", "top"}}));
    EXPECT_FALSE(std::filesystem::exists(install / "patches"));
}

// Every failure part way stops the run with its message, before the version
// is recorded, having asked for nothing after the failing step.
TEST_F(UpdateEngine, FailurePartWayStopsBeforeTheVersionIsRecorded) {
    const std::string notMatching = "\nDownloaded file does not match the release.";
    std::unique_ptr<test::ClientProcess> client;
    test::TempDir clientDirectory;
    std::optional<test::RefuseFileChanges> refuse;
    HttpRoute tooLong;
    tooLong.body = std::string(1 << 20, 'x');
    tooLong.framing = HttpRoute::Framing::close;
    const struct {
        const char* name;
        std::string list;
        Items files;
        std::function<void(Recorder&)> arrange;
        Events shown;
        Events asked;  // below 58/
        Files changed;
    } rows[] = {
        {"a file missing on the server", "a\nb\nc\nd\n", {{"a", "1"}, {"b", "2"}, {"d", "4"}}, nullptr,
         {"error: Download failed: c\nHTTP status 404."}, {"dl_list.txt", "release.txt", "a", "b", "c"}, {}},
        {"an unsafe entry", "a\n..\\kiv_evil.txt\n", {{"a", "1"}}, nullptr,
         {"error: Download failed: ..\\kiv_evil.txt\nUnsafe file name in download list."}, {"dl_list.txt"}, {}},
        {"a client started during the downloads", "a\nb\nc\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}},
         [&](Recorder& run) {
             run.onEvent = [&](const std::string& event) {
                 if (event != "download: Total files (2/3)") return;
                 client = std::make_unique<test::ClientProcess>(clientDirectory.path());
                 for (int i = 0; i < 500 && !isClientRunning(); ++i) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(10));
                 }
             };
         },
         {"warning: Please close all KIV clients before updating."}, {"dl_list.txt", "release.txt", "a", "b"}, {}},
        {"an exception", "a\n", {{"a", "1"}},
         [](Recorder& run) {
             run.onEvent = [](const std::string& event) {
                 if (event.starts_with("title: ")) throw std::runtime_error("disk on fire");
             };
         },
         {"error: Update failed unexpectedly.\ndisk on fire"}, {}, {}},
        {"a patch failing after the plain files", "kiv.exe\npatches\\broken.npatch\n",
         {{"kiv.exe", "client 58"}, {"patches\\broken.npatch", test::packageBytes("data\\absent.hed", {})}}, nullptr,
         {"error: Patch failed:\nCould not open .hed/.dat pair."}, {"dl_list.txt", "release.txt", "kiv.exe", "patches/broken.npatch"},
         {{"kiv.exe", "client 58"}}},
        {"an unwritable destination", "first.txt\ndata\\x.txt\n", {{"first.txt", "1"}, {"data\\x.txt", "x"}},
         [&](Recorder&) { std::filesystem::create_directories(install / "data" / "x.txt"); },
         {"error: Patch failed:\nCould not install downloaded file: data\\x.txt"},
         {"dl_list.txt", "release.txt", "first.txt", "data/x.txt"}, {{"first.txt", "1"}}},
        {"a version that cannot be recorded", "a.txt\n", {{"a.txt", "58"}},
         [&](Recorder&) {
             refuse.emplace([](const FileChange& change) {
                 return change.kind == FileChange::Kind::create && change.path.filename() == "kiv.ver.tmp";
             });
         },
         {"error: Could not record the installed version."}, {"dl_list.txt", "release.txt", "a.txt"}, {{"a.txt", "58"}}},
        // Without a key, a manifest on the server still catches corrupt copies.
        {"a release naming other files", "kiv.exe\n",
         {{"kiv.exe", "client 58"}, {"release.txt", manifestFor(58, {{"readme.txt", "readme"}})}}, nullptr,
         {"error: Download failed: release.txt" + notMatching}, {"dl_list.txt", "release.txt"}, {}},
        {"other bytes than the release's", "kiv.exe\n",
         {{"kiv.exe", "client 5X"}, {"release.txt", manifestFor(58, {{"kiv.exe", "client 58"}})}}, nullptr,
         {"error: Download failed: kiv.exe" + notMatching}, {"dl_list.txt", "release.txt", "kiv.exe"}, {}},
        {"more bytes than the release's", "kiv.exe\n",
         {{"release.txt", manifestFor(58, {{"kiv.exe", "client 58"}})}},
         [&](Recorder&) { server.setRoute("/kiv/58/kiv.exe", tooLong); },
         {"error: Download failed: kiv.exe" + notMatching}, {"dl_list.txt", "release.txt", "kiv.exe"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        publish(58, row.list, row.files);
        Recorder run;
        if (row.arrange) row.arrange(run);
        runUpdate(install.path(), base, run);
        client.reset();
        refuse.reset();
        EXPECT_EQ(run.startingWith({"error: ", "warning: ", "ready: 1", "download: Success"}), row.shown);
        Events asked;
        for (const std::string& path : row.asked) asked.push_back("58/" + path);
        EXPECT_EQ(this->asked(), asked);
        Files expected = k57;
        for (const auto& [name, content] : row.changed) expected[name] = content;
        EXPECT_EQ(installedFiles(), expected);
    }
}

TEST_F(UpdateEngine, ChecksBeforeTheRun) {
    std::filesystem::remove(install / "kiv.ver");
    Recorder check, unversioned;
    runVersionCheck(install.path(), base, check);
    EXPECT_EQ(check.events, (Events{"version: Version check failed", "download: Press Update"}));
    runUpdate(install.path(), base, unversioned);
    EXPECT_EQ(unversioned.events, Events{"error: Could not read kiv.ver."});

    Recorder noClient;
    std::filesystem::remove(install / "kiv.exe");
    runUpdate(install.path(), base, noClient);
    EXPECT_EQ(noClient.events, Events{"error: kiv.exe was not found beside the launcher."});

    fresh();
    test::TempDir clientDirectory;
    test::ClientProcess client(clientDirectory.path());
    ASSERT_TRUE(client.started());
    for (int i = 0; i < 500 && !isClientRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Recorder running;
    runUpdate(install.path(), base, running);
    EXPECT_EQ(running.events, Events{"warning: Please close KIV before updating."});
    EXPECT_EQ(asked(), Events{});
}

// What cannot be removed from the version's folder (a patch of an earlier
// run among it) stops the run before anything is downloaded beside it.
TEST_F(UpdateEngine, VersionFolderThatCannotBeClearedStopsTheRun) {
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
    Recorder run;
    runUpdate(install.path(), base, run);
#ifdef _WIN32
    CloseHandle(handle);
#else
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
#endif
    EXPECT_EQ(run.startingWith({"error: "}), Events{"error: Could not clear the download folder patches\\version_58."});
    EXPECT_EQ(asked(), (Events{"58/dl_list.txt", "58/release.txt"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
}

// The running launcher cannot be overwritten on Windows: it is moved aside,
// the new program put in its place, and the caller told to restart.
TEST_F(UpdateEngine, ListNamingTheLauncherSwapsItAndAsksForARestart) {
    test::writeFile(install / "kiv_launcher.exe", "launcher 57");
    publish(58, "KIV_Launcher.exe\n", {{"KIV_Launcher.exe", "launcher 58"}});
    int restarts = 0;
    Recorder run;
    runUpdate(install.path(), base, run, {.launcherFileName = L"kiv_launcher.exe", .launcherReplaced = [&] { ++restarts; }});
    EXPECT_EQ(run.startingWith({"error: ", "ready: "}), Events{"ready: 1"});
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe"), "launcher 58");
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe.old"), "launcher 57");
    EXPECT_TRUE(removeReplacedLauncher(install.path(), L"kiv_launcher.exe"));
    EXPECT_FALSE(std::filesystem::exists(install / "kiv_launcher.exe.old"));

    // Cut between the two renames: no program in place; doing it again puts
    // the new one there.
    test::writeFile(install / "new.exe", "launcher 59");
    std::filesystem::remove(install / "kiv_launcher.exe");
    EXPECT_TRUE(installLauncherProgram(install / "new.exe", install / "kiv_launcher.exe"));
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe"), "launcher 59");
}

// A busy server is retried for a file, with the row saying so, but not for
// the version check's probe.
TEST_F(UpdateEngine, BusyServerIsRetriedForFilesButNotForTheProbe) {
    HttpRoute busy, list, file;
    busy.status = 503;
    list.body = "a\n";
    file.body = "1";
    server.setRouteSequence("/kiv/58/dl_list.txt", {busy, list});
    server.setRouteSequence("/kiv/58/a", {busy, busy, file});
    UpdateOptions options;
    options.retryDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(10), std::chrono::milliseconds(10)};
    Recorder check, run;
    runVersionCheck(install.path(), base, check, options);
    EXPECT_EQ(check.startingWith({"ready: "}), Events{"ready: 1"});
    EXPECT_EQ(asked(), Events{"58/dl_list.txt"});

    runUpdate(install.path(), base, run, options);
    EXPECT_EQ(run.startingWith({"error: ", "download: T", "download: R"}),
              (Events{"download: Total files (1/1)", "download: Retrying (1/3)...", "download: Total files (1/1)",
                      "download: Retrying (2/3)...", "download: Total files (1/1)"}));
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
    EXPECT_EQ(test::readFile(install / "a"), "1");
}

TEST(DownloadProgressCallback, ShowsThePercentageOfTheAnnouncedTotal) {
    Recorder recorder;
    DownloadProgress progress = downloadProgressCallback(recorder);
    for (const std::uint64_t received : {1000, 2000, 2048}) progress(received, 2048);
    progress(500, 0);
    EXPECT_EQ(recorder.events, (Events{"download%: 48", "download%: 97", "download%: 100"}));
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

// A file cut off part way and then resumed with a ranged request is checked
// as the whole file: if the hash followed only the attempt (the appended half
// not seen, or the hash started over for it), a correct download would be
// refused; if it did not start over when the server sends the whole file
// again, the first half would be counted twice.
TEST_F(UpdateEngine, ARetriedDownloadIsHashedAsTheWholeFile) {
    std::string client(200 * 1024, '\0');
    for (std::size_t i = 0; i < client.size(); ++i) client[i] = static_cast<char>(i * 7 + i / 251);
    HttpRoute whole;
    whole.body = client;
    whole.etag = "\"v58\"";
    whole.ranges = true;
    HttpRoute cut = whole, rangesIgnored = whole;
    cut.cutAfter = client.size() / 2;
    rangesIgnored.ranges = false;
    for (const HttpRoute& retry : {whole, rangesIgnored}) {
        SCOPED_TRACE(retry.ranges ? "resumed at half" : "started over");
        fresh();
        publishRelease(58, {{"kiv.exe", client}});
        server.setRouteSequence("/kiv/58/kiv.exe", {cut, retry});
        Recorder run;
        runUpdate(install.path(), base, run, {.retryDelays = {}});
        EXPECT_EQ(run.startingWith({"error: "}), Events{});
        EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
        EXPECT_TRUE(test::readFile(install / "kiv.exe") == client);
        Events ranges;
        const std::vector<SeenRequest> seen = server.requests();
        for (std::size_t i = seen_; i < seen.size(); ++i) {
            if (seen[i].target == "/kiv/58/kiv.exe") ranges.push_back(seen[i].header("Range"));
        }
        EXPECT_EQ(ranges, (Events{"", "bytes=102400-"}));
    }
}

#ifndef _WIN32
// Signing is done on the operator's side with libcrypto; the Windows build
// checks signatures made by the native kivtool in the end-to-end test.
class SignedRelease : public UpdateEngine {
public:
    void SetUp() override {
        UpdateEngine::SetUp();
        ASSERT_TRUE(crypto::generateReleaseKeyPair(privateKey, publicKey));
        ASSERT_TRUE(crypto::generateReleaseKeyPair(otherPrivate, otherPublic));
    }
    void sign(int version, const std::string& key) {
        const std::string text = test::readFile(folder(version) / "release.txt");
        std::vector<std::uint8_t> signature;
        ASSERT_TRUE(crypto::signRelease(key, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, signature));
        test::writeFile(folder(version) / "release.sig", {reinterpret_cast<const char*>(signature.data()), signature.size()});
    }
    Events run() {
        Recorder recorder;
        runUpdate(install.path(), base, recorder, {.releasePublicKey = publicKey});
        return recorder.startingWith({"error: ", "warning: "});
    }
    std::string privateKey, publicKey, otherPrivate, otherPublic;
};

const Items kVersion58 = {{"readme.txt", "readme 58"}, {"empty.txt", ""}, {"kiv.exe", "client 58"}};

TEST_F(SignedRelease, SignedVersionsInstall) {
    publishRelease(58, kVersion58);
    sign(58, privateKey);
    publishRelease(59, {{"readme.txt", "readme 59"}});
    sign(59, privateKey);
    EXPECT_EQ(run(), Events{});
    EXPECT_EQ(installedFiles(), (Files{{"empty.txt", ""},
                                       {"kiv.exe", "client 58"},
                                       {"kiv.ver", "59\r\n"},
                                       {"readme.txt", "readme 59"}}));
}

// Each way of passing off a release the publisher did not sign for this
// version is refused with the same message, and nothing is installed.
TEST_F(SignedRelease, UnsignedReleasesAreRefused) {
    const struct {
        const char* name;
        std::function<void(SignedRelease&)> tamper;
    } cases[] = {
        {"signature missing", [](auto& t) { std::filesystem::remove(t.folder(58) / "release.sig"); }},
        {"manifest missing", [](auto& t) { std::filesystem::remove(t.folder(58) / "release.txt"); }},
        {"manifest changed",
         [](auto& t) {
             test::writeFile(t.folder(58) / "release.txt",
                             manifestFor(58, {{"readme.txt", "readme 58"}, {"empty.txt", ""}, {"kiv.exe", "evil"}}));
         }},
        {"signed by another key", [](auto& t) { t.sign(58, t.otherPrivate); }},
        {"signature not DER", [](auto& t) { test::writeFile(t.folder(58) / "release.sig", "garbage"); }},
        {"older release under a newer number",
         [](auto& t) {
             test::writeFile(t.folder(58) / "release.txt", manifestFor(57, kVersion58));
             t.sign(58, t.privateKey);
         }},
        {"list names a file the manifest does not",
         [](auto& t) {
             test::writeFile(t.folder(58) / "dl_list.txt", "readme.txt\r\nempty.txt\r\nkiv.exe\r\nextra.exe\r\n");
             test::writeFile(t.folder(58) / "extra.exe", "evil");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        publishRelease(58, kVersion58);
        sign(58, privateKey);
        c.tamper(*this);
        EXPECT_EQ(run(), Events{"error: Release 58 is not signed by the publisher."});
        EXPECT_EQ(installedFiles(), k57);
    }
}
#endif

}  // namespace
}  // namespace kiv

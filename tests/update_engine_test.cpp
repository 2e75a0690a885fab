// The version check, the update run with its release checks and the
// installation of downloaded files, against a loopback patch server.
#include "tests/client_process.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"
#include "tools/loopback_server/loopback_server.h"
#include "update/update.h"

#include <gtest/gtest.h>

// The routes are written with designated initializers: the members left out
// take their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>

// The most bytes held by operator new at once since the last reset, so that
// a test can bound what a transfer or a parse takes, whatever allocates it.
namespace {
std::atomic<std::size_t> heldBytes{0}, peakBytes{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
}  // namespace

void* operator new(std::size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    const std::size_t held = heldBytes += size;
    for (std::size_t peak = peakBytes; held > peak && !peakBytes.compare_exchange_weak(peak, held);) {
    }
    return block + kHeader;
}
void operator delete(void* pointer) noexcept {
    if (pointer == nullptr) return;
    auto* block = static_cast<unsigned char*>(pointer) - kHeader;
    heldBytes -= *reinterpret_cast<std::size_t*>(block);
    std::free(block);
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* pointer) noexcept { operator delete(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { operator delete(pointer); }

namespace kiv {
namespace {

using namespace std::chrono_literals;

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

    Events startingWith(std::initializer_list<std::string_view> prefixes) const {
        Events out;
        for (const std::string& event : events) {
            const auto startsWith = [&](std::string_view prefix) { return event.starts_with(prefix); };
            if (std::ranges::any_of(prefixes, startsWith)) out.push_back(event);
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

// Makes the reporter fail at the title, the first report of a run.
void failAtTheTitle(Recorder& recorder) {
    recorder.onEvent = [](const std::string& event) {
        if (event.starts_with("title: ")) throw std::runtime_error("disk on fire");
    };
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
        std::filesystem::remove_all(install.path());
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

    // The paths asked for since the last call, below the base, sorted: the
    // files of a version are asked for a few at once.
    Events asked() {
        const std::vector<SeenRequest> seen = server.requests();
        Events paths;
        for (; seen_ < seen.size(); ++seen_) paths.push_back(seen[seen_].target.substr(5));
        std::sort(paths.begin(), paths.end());
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

    // Starts a stand-in client and waits until the process list shows it.
    void startClient() {
        client.reset();
        clientDirectory.emplace();
        client = std::make_unique<test::ClientProcess>(clientDirectory->path());
        for (int i = 0; i < 500 && !isClientRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Deep enough that the installation's files pass the classic path limit.
    test::TempDir install{200};
    test::TempDir serverRoot;
    HttpServer server{serverRoot.path()};
    std::wstring base;
    std::size_t seen_ = 0;
    std::optional<test::TempDir> clientDirectory;
    std::unique_ptr<test::ClientProcess> client;
};

// The check offers the next version only when its list names a file, and
// says that there is none only when the server says so (404, 410, nothing
// listed, a page in place of the list); any other failure is shown as one,
// the client ready all the same. A run then ends up to date, or with a
// warning, having asked for that list alone and changed nothing. A failure
// while reporting is no answer; without a version there is nothing to check.
TEST_F(UpdateEngine, NextVersionIsOfferedOnlyWhenItsListNamesAFile) {
    const Events upToDate = {"ready: 1", "version: Version Check OK", "download: Success", "version%: 100",
                             "download%: 100"};
    const Events offered = {"ready: 0", "version: Update available", "download: Press Update", "version%: 0",
                            "download%: 0"};
    const Events unreachable = {"ready: 1", "version: Server not reachable", "download: You can still play",
                                "version%: 100", "download%: 100"};
    // The test server whose certificate no store trusts.
    const std::string untrustedPort = test::testServers()["unknownca"];
    ASSERT_FALSE(untrustedPort.empty()) << "KIV_TLS_SERVERS names no server list";
    const std::wstring untrusted = utf8ToWide("https://127.0.0.1:" + untrustedPort + "/kiv/");
    const struct {
        const char* name;
        const char* installed;
        const char* list;  // 58's; none: 404
        int status;        // the list's answer instead, when not 0
        std::wstring base;  // the server's when empty
        bool failing;      // the reporter throws at the title
        bool probes;
        const Events& shown;
    } rows[] = {
        {"published", "57", "a.txt\n", 0, {}, false, true, offered},
        {"blank list", "57", "\r\n\n\r\n", 0, {}, false, true, upToDate},
        {"a web page", "57", "<!DOCTYPE html>\n<html><body>Parked</body></html>\n", 0, {}, false, true, upToDate},
        {"no list", "57", nullptr, 0, {}, false, true, upToDate},
        {"a list gone", "57", "a.txt\n", 410, {}, false, true, upToDate},
        {"a forbidden list", "57", "a.txt\n", 403, {}, false, true, unreachable},
        {"an untrusted certificate", "57", nullptr, 0, untrusted, false, false, unreachable},
        {"highest version", "2147483647", "a.txt\n", 0, {}, false, false, upToDate},
        {"failure while reporting", "57", "a.txt\n", 0, {}, true, false, unreachable},
    };
    std::filesystem::remove(install / "kiv.ver");
    Recorder unversioned;
    runVersionCheck(install.path(), base, unversioned);
    EXPECT_EQ(unversioned.events, (Events{"version: Version check failed", "download: Press Update"}));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        test::writeFile(install / "kiv.ver", row.installed + std::string("\r\n"));
        if (row.list != nullptr) publish(58, row.list, {});
        if (row.status != 0) server.setRoute("/kiv/58/dl_list.txt", HttpRoute{.status = row.status});
        const std::wstring& from = row.base.empty() ? base : row.base;
        Recorder check;
        if (row.failing) failAtTheTitle(check);
        runVersionCheck(install.path(), from, check);
        Events expected = {"version: Checking version", "download: Please wait",
                           "title: KIV Client Ver. " + std::string(row.installed)};
        expected.insert(expected.end(), row.shown.begin(), row.shown.end());
        EXPECT_EQ(check.events, expected);
        const Events probe = row.probes ? Events{"58/dl_list.txt"} : Events{};
        // The release goes out with the list, and may be cancelled before it is sent.
        Events checked = asked();
        std::erase(checked, "58/release.txt");
        EXPECT_EQ(checked, probe);
        if (&row.shown == &offered || row.failing) continue;

        const Files before = installedFiles();
        Recorder run;
        runUpdate(install.path(), from, run);
        const Events warned = {"warning: Could not reach the patch server. Version 57 is installed.", "ready: 1"};
        EXPECT_EQ(run.startingWith({"error: ", "warning: ", "ready: "}),
                  &row.shown == &unreachable ? warned : Events{"ready: 1"});
        Events ran = asked();
        std::erase(ran, "58/release.txt");
        EXPECT_EQ(ran, probe);
        EXPECT_EQ(installedFiles(), before);
    }
}

// Two versions in turn: plain files anywhere (a leading separator meaning
// the top), then the patches in the order of their names, a patch outside
// the download folder neither copied nor applied, each version recorded.
// The version bar moves as the files finish and while patches apply.
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
              (Events{"title: KIV Client Ver. 57",   "download: Total files (0/5)", "version%: 0",
                      "download: Total files (1/5)", "version%: 20",                "download: Total files (2/5)",
                      "version%: 40",                "download: Total files (3/5)", "version%: 60",
                      "download: Total files (4/5)", "version%: 80",                "download: Total files (5/5)",
                      "version%: 100",               "version%: 0",                 "version%: 100",
                      "title: KIV Client Ver. 58",   "download: Total files (0/2)", "version%: 0",
                      "download: Total files (1/2)", "version%: 50",                "download: Total files (2/2)",
                      "version%: 100",               "version%: 0",                 "version%: 50",
                      "version%: 100",               "title: KIV Client Ver. 59",   "version%: 100"}));
    ASSERT_GE(run.events.size(), 6u);
    EXPECT_EQ(Events(run.events.end() - 6, run.events.end()),
              (Events{"version: Checking version 60...", "ready: 1", "version: Version Check OK", "download: Success",
                      "version%: 100", "download%: 100"}));
    Events ran = asked();
    std::erase(ran, "60/release.txt");  // cancelled once 60's list is known missing, perhaps before it went out
    EXPECT_EQ(ran, (Events{"58//top.txt", "58/data/readme.txt", "58/dl_list.txt", "58/new/folder/notes.txt",
                           "58/patches/ui.npatch", "58/release.txt", "58/top.npatch", "59/dl_list.txt",
                           "59/patches/more.npatch", "59/patches/old.cab", "59/release.txt", "60/dl_list.txt"}));
    EXPECT_EQ(test::readArchive(install / "data" / "kiv_ui.hed"),
              (Items{{"ui\\a.bmp", "a 59"}, {"b.bmp", "b 59"}, {"ui\\c.bmp", "added c"}}));
    Files files = installedFiles();
    std::erase_if(files, [](const auto& file) { return file.first.starts_with("data/kiv_ui."); });
    EXPECT_EQ(files, (Files{{"data/readme.txt", "readme 58"}, {"kiv.exe", "client 57"}, {"kiv.ver", "59\r\n"},
                            {"new/folder/notes.txt", "notes"}, {"top.txt", "top"}}));
    EXPECT_FALSE(std::filesystem::exists(install / "patches"));
}

// Every refusal before the run and every failure part way stops the run
// with its message, before the version is recorded, having asked for
// nothing after the failing step; of the installed files only those moved into place
// before the failure have changed. A file that fails for good cancels the
// others at once, however slow they are.
TEST_F(UpdateEngine, FailureStopsTheRunBeforeTheVersionIsRecorded) {
    const std::string notMatching = "\nDownloaded file does not match the release.";
    using Kind = FileChange::Kind;
    const struct {
        const char* name;
        std::string list;
        Items files;
        std::function<void(Recorder&)> arrange;
        Events shown;
        Events asked;
        Files changed;
        std::function<bool(const FileChange&)> refused{};  // as a full or failing disk would
    } rows[] = {
        {"no version file", "a\n", {{"a", "1"}}, [&](Recorder&) { std::filesystem::remove(install / "kiv.ver"); },
         {"error: Could not read kiv.ver."}, {}, {}},
        {"no client", "a\n", {{"a", "1"}}, [&](Recorder&) { std::filesystem::remove(install / "kiv.exe"); },
         {"error: kiv.exe was not found beside the launcher."}, {}, {}},
        {"a client running", "a\n", {{"a", "1"}}, [&](Recorder&) { startClient(); },
         {"warning: Please close KIV before updating."}, {}, {}},
        {"an exception", "a\n", {{"a", "1"}}, failAtTheTitle,
         {"error: Update failed unexpectedly.\ndisk on fire"}, {}, {}},
        {"an unsafe entry", "a\n..\\kiv_evil.txt\n", {{"a", "1"}}, nullptr,
         {"error: Download failed: ..\\kiv_evil.txt\nUnsafe file name in download list."},
         {"58/dl_list.txt", "58/release.txt"}, {}},
        // Only a manifest the server does not have (404) is no manifest: a
        // busy server's is tried again and then stops the version.
        {"a busy server's manifest", "a\n", {{"a", "1"}},
         [&](Recorder&) { server.setRoute("/kiv/58/release.txt", HttpRoute{.status = 503}); },
         {"error: Could not download release.txt.\nHTTP status 503."},
         {"58/dl_list.txt", "58/release.txt", "58/release.txt", "58/release.txt", "58/release.txt"}, {}},
        {"a version folder that cannot be cleared", "a\n", {{"a", "1"}},
         [&](Recorder&) { test::writeFile(install / "patches" / "version_58" / "stray.npatch", "left over"); },
         {"error: Could not clear the download folder patches\\version_58."}, {"58/dl_list.txt", "58/release.txt"}, {},
         [](const FileChange& c) { return c.kind == Kind::remove && c.path.filename() == "stray.npatch"; }},
        // The others would take 8 s each; the answer comes once they are under way.
        {"a file missing on the server", "a\nb\nc\nd\n", {{"a", "1"}},
         [&](Recorder&) {
             for (const char* slow : {"/kiv/58/b", "/kiv/58/d"}) {
                 server.setRoute(slow, {.body = std::string(8000, 's'), .dripBytes = 1000, .dripInterval = 1s});
             }
             server.setRoute("/kiv/58/c", {.status = 404, .body = "", .headerByteInterval = 5ms});
         },
         {"error: Download failed: c\nHTTP status 404."},
         {"58/a", "58/b", "58/c", "58/d", "58/dl_list.txt", "58/release.txt"}, {}},
        {"a client started during the downloads", "a\nb\nc\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}},
         [&](Recorder& run) {
             run.onEvent = [&](const std::string& event) {
                 if (event == "download: Total files (0/3)") startClient();
             };
         },
         {"warning: Please close all KIV clients before updating."}, {"58/dl_list.txt", "58/release.txt"}, {}},
        // Plain files are moved into place before the patches are applied.
        {"a patch failing after the plain files", "kiv.exe\npatches\\broken.npatch\n",
         {{"kiv.exe", "client 58"}, {"patches\\broken.npatch", test::packageBytes("data\\absent.hed", {})}}, nullptr,
         {"error: Patch failed:\nCould not open .hed/.dat pair."},
         {"58/dl_list.txt", "58/release.txt", "58/kiv.exe", "58/patches/broken.npatch"}, {{"kiv.exe", "client 58"}}},
        // The move into place fails (the file in use): the installed file stays whole.
        {"a file that cannot be replaced", "kiv.exe\n", {{"kiv.exe", "client 58"}}, nullptr,
         {"error: Patch failed:\nCould not install downloaded file: kiv.exe"},
         {"58/dl_list.txt", "58/release.txt", "58/kiv.exe"}, {},
         [&](const FileChange& c) { return c.kind == Kind::rename && c.target->parent_path() == install.path(); }},
        {"a version that cannot be recorded", "a.txt\n", {{"a.txt", "58"}}, nullptr,
         {"error: Could not record the installed version."}, {"58/dl_list.txt", "58/release.txt", "58/a.txt"},
         {{"a.txt", "58"}},
         [](const FileChange& c) { return c.kind == Kind::create && c.path.filename() == "kiv.ver.tmp"; }},
        // Without a key, a manifest on the server still catches corrupt copies.
        {"a release naming other files", "kiv.exe\n",
         {{"kiv.exe", "client 58"}, {"release.txt", manifestFor(58, {{"readme.txt", "readme"}})}}, nullptr,
         {"error: Download failed: release.txt" + notMatching}, {"58/dl_list.txt", "58/release.txt"}, {}},
        {"more bytes than the release's", "kiv.exe\n",
         {{"kiv.exe", "client 58+"}, {"release.txt", manifestFor(58, {{"kiv.exe", "client 58"}})}}, nullptr,
         {"error: Download failed: kiv.exe" + notMatching}, {"58/dl_list.txt", "58/release.txt", "58/kiv.exe"}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        publish(58, row.list, row.files);
        Recorder run;
        if (row.arrange) row.arrange(run);
        Files expected = installedFiles();
        std::optional<test::RefuseFileChanges> refuse;
        if (row.refused) refuse.emplace(row.refused);
        const auto start = std::chrono::steady_clock::now();
        runUpdate(install.path(), base, run, {.retryDelays = {}});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        client.reset();
        refuse.reset();
        EXPECT_EQ(run.startingWith({"error: ", "warning: ", "ready: 1", "download: Success"}), row.shown);
        Events want = row.asked;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(asked(), want);
        for (const auto& [name, content] : row.changed) expected[name] = content;
        EXPECT_EQ(installedFiles(), expected);
    }
}

// The running launcher cannot be overwritten on Windows: it is moved aside,
// the new program put in its place, and the caller told to restart.
TEST_F(UpdateEngine, ListNamingTheLauncherSwapsItAndAsksForARestart) {
    test::writeFile(install / "kiv_launcher.exe", "launcher 57");
    publish(58, "KIV_Launcher.exe\n", {{"KIV_Launcher.exe", "launcher 58"}});
    int restarts = 0;
    Recorder run;
    runUpdate(install.path(), base, run,
              {.launcherFileName = L"kiv_launcher.exe", .launcherReplaced = [&] { ++restarts; }});
    EXPECT_EQ(run.startingWith({"error: ", "ready: "}), Events{"ready: 1"});
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe"), "launcher 58");
    EXPECT_EQ(test::readFile(install / "kiv_launcher.exe.old"), "launcher 57");
    // The next start removes the old program, and the part of a copy that a
    // power cut interrupted.
    test::writeFile(install / "kiv_launcher.exe.new.kivnew", "launcher 5");
    EXPECT_TRUE(removeReplacedLauncher(install.path(), L"kiv_launcher.exe"));
    EXPECT_EQ(installedFiles(), (Files{{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}, {"kiv_launcher.exe", "launcher 58"}}));
}

// A patch left in the folder by an earlier run is not the version's: only
// the patch files of the list are applied. A name listed twice was
// downloaded once, and its download is moved into place by the first entry:
// the second must not fail the version for good.
TEST(InstallDownloads, OnlyTheListsPatchesApplyAndANameListedTwiceInstallsOnce) {
    test::TempDir install, downloads;
    test::writeArchive(install / "x.hed", {{"a", "old"}, {"b", "old"}});
    test::writeFile(downloads / "patches" / "listed.npatch", test::packageBytes("x.hed", {{"a", "new"}}));
    test::writeFile(downloads / "patches" / "stray.npatch", test::packageBytes("x.hed", {{"b", "stray"}}));
    test::writeFile(downloads / "data" / "notes.txt", "new");
    Recorder recorder;
    std::wstring error;
    EXPECT_TRUE(installDownloads(install.path(), downloads.path(),
                                 {L"data\\notes.txt", L"data/notes.txt", L"patches\\listed.npatch"}, recorder, error))
        << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "x.hed"), (Items{{"a", "new"}, {"b", "old"}}));
    EXPECT_EQ(test::readFile(install / "data" / "notes.txt"), "new");
}

// A file download is retried with the row saying so, and checked as the
// whole file: if the hash followed only the attempt (the appended half not
// seen, or the hash started over for it), a correct download would be
// refused; if it did not start over when the server sends the whole file
// again, the first half would be counted twice. The bar never moves back
// when a retry starts the file over, and ends full. The version check's
// probe is not retried: a busy server is shown as unreachable for now.
TEST_F(UpdateEngine, ARetriedDownloadIsShownAndHashedAsTheWholeFile) {
    const std::string client = test::pattern(200 * 1024);
    // Dripped, so that the bar moves within each attempt.
    const HttpRoute whole = {
        .body = client, .dripBytes = 40000, .dripInterval = 1ms, .etag = "\"v58\"", .ranges = true};
    const HttpRoute busy = {.status = 503};
    HttpRoute cut = whole, rangesIgnored = whole;
    cut.cutAfter = client.size() / 2;
    rangesIgnored.ranges = false;
    for (const HttpRoute& retry : {whole, rangesIgnored}) {
        SCOPED_TRACE(retry.ranges ? "resumed at half" : "started over");
        fresh();
        publishRelease(58, {{"kiv.exe", client}});
        server.setRouteSequence("/kiv/58/dl_list.txt", {busy, HttpRoute{}});
        server.setRouteSequence("/kiv/58/kiv.exe", {busy, cut, retry});
        Recorder check, run;
        runVersionCheck(install.path(), base, check);
        EXPECT_EQ(check.startingWith({"ready: "}), Events{"ready: 1"});
        runUpdate(install.path(), base, run, {.retryDelays = {}});
        EXPECT_EQ(run.startingWith({"error: ", "download: T", "download: R"}),
                  (Events{"download: Total files (0/1)", "download: Retrying (1/3)...", "download: Total files (0/1)",
                          "download: Retrying (2/3)...", "download: Total files (0/1)", "download: Total files (1/1)"}));
        Events bar;
        for (const std::string& event : run.events) {
            if (event.starts_with("title: KIV Client Ver. 58")) break;
            if (event.starts_with("download%: ")) bar.push_back(event.substr(11));
        }
        EXPECT_TRUE(std::ranges::is_sorted(bar, {}, [](const std::string& percent) { return std::stoi(percent); }));
        EXPECT_EQ(bar.empty() ? "" : bar.back(), "100");
        EXPECT_EQ(installedFiles(), (Files{{"kiv.exe", client}, {"kiv.ver", "58\r\n"}}));
        Events ranges;
        const std::vector<SeenRequest> seen = server.requests();
        for (std::size_t i = seen_; i < seen.size(); ++i) {
            if (seen[i].target == "/kiv/58/kiv.exe") ranges.push_back(seen[i].header("Range"));
        }
        EXPECT_EQ(ranges, (Events{"", "", "bytes=102400-"}));
    }
}

#ifndef _WIN32
// A release signed by the publisher installs, its empty file made rather
// than fetched; without its manifest it is refused and nothing is installed
// (a manifest the server cannot give now stops the run as it does unsigned,
// in the failure table above). A list that is
// not the release's is neither shown nor held beyond its own bytes: a lure
// in it never reaches the player, and a list of a million one-letter lines
// is not taken apart. Signing is done on the operator's side with libcrypto;
// the end-to-end test refuses the other forgeries in both builds.
TEST_F(UpdateEngine, OnlyReleasesSignedForTheirVersionInstall) {
    std::string privateKey, publicKey;
    ASSERT_TRUE(crypto::generateReleaseKeyPair(privateKey, publicKey));
    const Items files58 = {{"readme.txt", "readme 58"}, {"empty.txt", ""}, {"kiv.exe", "client 58"}};
    const Files installed58 = {
        {"empty.txt", ""}, {"kiv.exe", "client 58"}, {"kiv.ver", "58\r\n"}, {"readme.txt", "readme 58"}};
    const std::string lure = "Your launcher is damaged. Get the repaired one at https://evil.example/fix.exe ?\n";
    const std::string notSigned = "error: Release 58 is not signed by the publisher.";
    const struct {
        const char* name;
        std::function<void()> arrange;
        Events shown;
    } rows[] = {
        {"signed", [] {}, {}},
        {"manifest missing", [&] { std::filesystem::remove(folder(58) / "release.txt"); }, {notSigned}},
        {"a lure in place of the list",
         [&] {
             std::string list = lure;
             while (list.size() + 2 < kMaxListBytes) list += "a\n";
             test::writeFile(folder(58) / "dl_list.txt", list);
         },
         {notSigned}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        publishRelease(58, files58);
        const std::string text = test::readFile(folder(58) / "release.txt");
        std::vector<std::uint8_t> signature;
        ASSERT_TRUE(crypto::signRelease(privateKey, std::vector<std::uint8_t>(text.begin(), text.end()), signature));
        test::writeFile(folder(58) / "release.sig", std::string(signature.begin(), signature.end()));
        row.arrange();
        Recorder check, run;
        const std::size_t before = heldBytes;
        peakBytes = before;
        runVersionCheck(install.path(), base, check, {.releasePublicKey = publicKey});
        runUpdate(install.path(), base, run, {.releasePublicKey = publicKey, .retryDelays = {}});
        // The list once as served, once as received, and some room.
        EXPECT_LT(peakBytes - before, 2 * kMaxListBytes + (4u << 20));
        EXPECT_EQ(run.startingWith({"error: "}), row.shown);
        EXPECT_EQ(installedFiles(), row.shown.empty() ? installed58 : k57);
    }
}

// A run right after its check goes on from the list and release that the
// check fetched, asking for neither again. A run after the check has gone
// stale (the operator may have fixed the version since), for an
// installation that has moved on, under a key the check did not have, or
// whose check could not get the release asks again, and installs what the
// server holds now for the version it is at.
TEST_F(UpdateEngine, ARunGoesOnFromItsChecksFetchOnlyWhileThatHolds) {
    std::string privateKey, publicKey;
    ASSERT_TRUE(crypto::generateReleaseKeyPair(privateKey, publicKey));
    auto publishSigned = [&](const std::string& readme) {
        publishRelease(58, {{"readme.txt", readme}});
        const std::string text = test::readFile(folder(58) / "release.txt");
        std::vector<std::uint8_t> signature;
        ASSERT_TRUE(crypto::signRelease(privateKey, std::vector<std::uint8_t>(text.begin(), text.end()), signature));
        test::writeFile(folder(58) / "release.sig", std::string(signature.begin(), signature.end()));
    };
    const Files fixed = {{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}, {"readme.txt", "readme 58 fixed"}};
    const struct {
        const char* name;
        std::chrono::milliseconds freshFor;
        bool checkKeyed;
        std::function<void()> between;  // after the check, before the run
        int lists;                      // requests for 58's list, the check's included
        Files installed;
    } rows[] = {
        {"at once", kCheckStaysFresh, true, [] {},
         1, {{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}, {"readme.txt", "readme 58"}}},
        {"stale, the version fixed since", 0ms, true, [&] { publishSigned("readme 58 fixed"); }, 2, fixed},
        {"a check without the key", kCheckStaysFresh, false, [] {}, 2,
         {{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}, {"readme.txt", "readme 58"}}},
        {"the release failed in the check", kCheckStaysFresh, true, [] {}, 2,
         {{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}, {"readme.txt", "readme 58"}}},
        {"the installation moved on", kCheckStaysFresh, true,
         [&] { test::writeFile(install / "kiv.ver", "58\r\n"); }, 1, {{"kiv.exe", "client 57"}, {"kiv.ver", "58\r\n"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        publishSigned("readme 58");
        if (std::string_view(row.name) == "the release failed in the check") {
            server.setRouteSequence("/kiv/58/release.txt", {HttpRoute{.status = 503}, HttpRoute{}});
        }
        ServerVisit visit(row.freshFor);
        Recorder check, run;
        runVersionCheck(install.path(), base, check,
                        {.releasePublicKey = row.checkKeyed ? publicKey : std::string(), .visit = &visit});
        EXPECT_EQ(check.startingWith({"version: Update"}), Events{"version: Update available"});
        row.between();
        runUpdate(install.path(), base, run, {.releasePublicKey = publicKey, .retryDelays = {}, .visit = &visit});
        EXPECT_EQ(run.startingWith({"error: ", "warning: "}), Events{});
        EXPECT_EQ(installedFiles(), row.installed);
        const Events seen = asked();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "58/dl_list.txt"), row.lists);
    }
}
#endif

}  // namespace
}  // namespace kiv

// The HTTP transfers against a loopback server that misbehaves on request.
// The same cases run on both platforms, so they hold for both transports.
#include "net/http.h"

#include "base/base.h"
#include "net/transport.h"

#include "tools/http_server.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace kiv {
namespace {

using test::TempDir;
using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Every byte value, line ends and NULs included, so that any conversion shows.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

HttpRoute bodyRoute(std::string body) {
    HttpRoute route;
    route.body = std::move(body);
    return route;
}

// Retries without the waits, so that the cases run in moments.
TransferOptions quickRetries() {
    TransferOptions options;
    options.retryDelays = {std::chrono::milliseconds(10), std::chrono::milliseconds(10),
                           std::chrono::milliseconds(10)};
    return options;
}

class HttpTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        ASSERT_TRUE(server.start(problem)) << problem;
    }

    std::wstring url(std::string_view path) const { return server.wideUrl(path); }

    bool toFile(std::string_view path, const std::filesystem::path& file, std::wstring& error) {
        calls.clear();
        return httpGetToFile(url(path), file, [this](std::uint64_t r, std::uint64_t t) { calls.emplace_back(r, t); },
                             error, options);
    }

    TempDir root;
    TempDir work;
    HttpServer server{root.path()};
    Calls calls;
    TransferOptions options = quickRetries();
};

// ---- Statuses ----------------------------------------------------------------

TEST_F(HttpTransfer, Status200_KeepsBodyByteForByteAndErrorUntouched) {
    std::string body = pattern(3 * 1024 * 1024 + 17);
    test::writeFile(root / "58" / "data.bin", body);
    std::string got = "old";
    std::wstring error = L"untouched";
    ASSERT_TRUE(httpGetToMemory(url("/58/data.bin"), got, error));
    EXPECT_EQ(got, body);
    ASSERT_TRUE(toFile("/58/data.bin", work / "data.bin", error)) << wideToUtf8(error);
    EXPECT_EQ(test::readFile(work / "data.bin"), body);
    EXPECT_EQ(error, L"untouched");
    // The running sum per piece is HttpBodyLoop's; here the transport's total.
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{body.size()}, std::uint64_t{body.size()}));
}

// No content is an empty success; an error status fails with its number
// before any file or folder is made.
TEST_F(HttpTransfer, Statuses_NoContentIsEmptyAndErrorsTouchNoFile) {
    for (int status : {204, 304, 400, 500}) {
        SCOPED_TRACE(status);
        const bool ok = status < 400;
        const std::wstring message = ok ? L"" : L"HTTP status " + std::to_wstring(status) + L".";
        HttpRoute route = bodyRoute("error page");
        route.status = status;
        server.setRoute("/s", route);
        std::string body = "stale";
        std::wstring error;
        EXPECT_EQ(httpGetToMemory(url("/s"), body, error), ok);
        EXPECT_EQ(error, message);
        if (ok) {
            EXPECT_EQ(body, "");
        }
        const auto target = work / std::to_string(status) / "f.bin";
        EXPECT_EQ(toFile("/s", target, error), ok);
        EXPECT_EQ(error, message);
        EXPECT_EQ(std::filesystem::exists(target.parent_path()), ok);
        if (ok) {
            EXPECT_EQ(std::filesystem::file_size(target), 0u);
            EXPECT_TRUE(calls.empty());
        }
    }
}

// ---- Lengths -------------------------------------------------------------------

// Each way a body can end: the whole body, over a file's old contents, with
// total 0 when no length was announced and no progress for an empty one.
TEST_F(HttpTransfer, EveryFraming_GivesTheWholeBody) {
    using Framing = HttpRoute::Framing;
    const std::string payload = pattern(600 * 1024 + 3);
    std::vector<std::pair<Framing, std::string>> cases = {
        {Framing::length, ""}, {Framing::close, ""}, {Framing::close, payload}, {Framing::chunked, payload}};
#ifndef _WIN32
    // Wine's WinHTTP fails a chunked body that is only the last chunk.
    cases.emplace_back(Framing::chunked, "");
#endif
    for (const auto& [framing, content] : cases) {
        SCOPED_TRACE(static_cast<int>(framing));
        HttpRoute route = bodyRoute(content);
        route.framing = framing;
        server.setRoute("/f", route);
        std::string body = "stale";
        std::wstring error;
        ASSERT_TRUE(httpGetToMemory(url("/f"), body, error)) << wideToUtf8(error);
        EXPECT_EQ(body, content);
        test::writeFile(work / "f.bin", "old contents");
        ASSERT_TRUE(toFile("/f", work / "f.bin", error)) << wideToUtf8(error);
        EXPECT_EQ(test::readFile(work / "f.bin"), content);
        EXPECT_EQ(calls.empty(), content.empty());
        for (auto [received, total] : calls) EXPECT_EQ(total, framing == Framing::length ? content.size() : 0u);
        if (!calls.empty()) {
            EXPECT_EQ(calls.back().first, content.size());
        }
    }
}

TEST_F(HttpTransfer, ConnectionClosedBeforeAnnouncedLength_DeletesFileAndGivesCounts) {
    HttpRoute route = bodyRoute(pattern(1000));
    route.announcedLength = 2048;
    server.setRoute("/short", route);
    std::string body;
    std::wstring error;
    EXPECT_FALSE(httpGetToMemory(url("/short"), body, error));
    EXPECT_EQ(error, L"Could not read response data.");
    EXPECT_FALSE(toFile("/short", work / "short.bin", error));
    // Both transports report the early close as the end of the body, so the
    // counts show (a transport could also fail the read first: "Could not read
    // download data.", with the partial file left).
    EXPECT_EQ(error, L"Download was incomplete (1000/2048 bytes).");
    EXPECT_FALSE(std::filesystem::exists(work / "short.bin"));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{1000}, std::uint64_t{2048}));
}

// ---- Redirects, stalls, unreachable servers ----------------------------------------

TEST_F(HttpTransfer, Redirect_FollowedToTheOtherPath) {
    std::string payload = pattern(5000);
    test::writeFile(root / "new" / "file.bin", payload);
    for (int status : {301, 302, 307}) {
        SCOPED_TRACE(status);
        HttpRoute route = bodyRoute("moved");
        route.status = status;
        route.location = server.url("/new/file.bin");
        server.setRoute("/old/file.bin", route);
        std::string body;
        std::wstring error;
        ASSERT_TRUE(httpGetToMemory(url("/old/file.bin"), body, error)) << wideToUtf8(error);
        EXPECT_EQ(body, payload);
        ASSERT_TRUE(toFile("/old/file.bin", work / "r.bin", error)) << wideToUtf8(error);
        EXPECT_EQ(test::readFile(work / "r.bin"), payload);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{5000}, std::uint64_t{5000}));
    }
}

TEST_F(HttpTransfer, SlowServers_FailAsStalledOnceAWindowBringsTooLittle) {
    // A window of 1 s and 1,024 bytes: a server that stops, or drips below
    // the rate, must not hold the transfer for the transport's own time-outs
    // (30 s and more); one that drips above the rate must finish.
    struct Case {
        const char* name;
        std::optional<std::uint64_t> stallAfter;
        std::size_t dripBytes;
        bool completes;
    };
    const Case cases[] = {
        {"stops after 1000 bytes", 1000, 0, false},
        {"drips 20 bytes per 100 ms", std::nullopt, 20, false},
        {"drips 600 bytes per 100 ms", std::nullopt, 600, true},
    };
    options.stallWindow = std::chrono::seconds(1);
    std::string payload = pattern(6000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRoute route = bodyRoute(payload);
        route.stallAfter = c.stallAfter;
        route.dripBytes = c.dripBytes;
        route.dripInterval = std::chrono::milliseconds(100);
        server.setRoute("/slow", route);
        std::string body;
        std::wstring error;
        EXPECT_EQ(httpGetToMemory(url("/slow"), body, error, options), c.completes) << wideToUtf8(error);
        if (!c.completes) {
            EXPECT_EQ(error, L"Download stalled.");
        }
        error.clear();
        EXPECT_EQ(toFile("/slow", work / "slow.bin", error), c.completes) << wideToUtf8(error);
        if (c.completes) {
            EXPECT_EQ(test::readFile(work / "slow.bin"), payload);
        } else {
            EXPECT_EQ(error, L"Download stalled.");
        }
    }
}

TEST_F(HttpTransfer, UnreachablePort_FailsAsRequestFailureAndTouchesNoFile) {
    HttpServer gone;
    std::string problem;
    ASSERT_TRUE(gone.start(problem)) << problem;
    std::wstring address = gone.wideUrl("/x.bin");
    gone.stop();
    std::string body;
    std::wstring error;
    EXPECT_FALSE(httpGetToMemory(address, body, error));
    EXPECT_EQ(error, L"HTTP request failed.");
    error.clear();
    EXPECT_FALSE(httpGetToFile(address, work / "d" / "x.bin", {}, error, quickRetries()));
    EXPECT_EQ(error, L"HTTP request failed.");
    EXPECT_FALSE(std::filesystem::exists(work / "d"));
}

// ---- URLs ------------------------------------------------------------------------

TEST_F(HttpTransfer, InvalidUrls_AreRejectedBeforeAnyFileIsTouched) {
    std::wstring port = std::to_wstring(server.port());
    const std::wstring urls[] = {
        L"",
        L"patch server",
        L"ftp://127.0.0.1:" + port + L"/a.bin",
        L"file:///etc/passwd",
        L"http:///a.bin",
        L"http://",
        L"http://" + std::wstring(256, L'a') + L"/a.bin",
        L"http://127.0.0.1:" + port + L"/" + std::wstring(2047, L'a'),
    };
    for (const std::wstring& address : urls) {
        SCOPED_TRACE(wideToUtf8(address.substr(0, 60)));
        std::string body;
        std::wstring error;
        EXPECT_FALSE(httpGetToMemory(address, body, error));
        EXPECT_EQ(error, L"Invalid URL.");
        error.clear();
        EXPECT_FALSE(httpGetToFile(address, work / "d" / "a.bin", {}, error));
        EXPECT_EQ(error, L"Invalid URL.");
        EXPECT_FALSE(std::filesystem::exists(work / "d"));
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HttpTransfer, LongestPath_IsSentToTheServer) {
    std::string path = "/" + std::string(2046, 'a');
    std::string body;
    std::wstring error;
    EXPECT_FALSE(httpGetToMemory(url(path), body, error));
    EXPECT_EQ(error, L"HTTP status 404.");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].target, path);
}

TEST_F(HttpTransfer, Request_IsAPlainGetWithTheLauncherUserAgentAndQuery) {
    server.setRoute("/58/dl_list.txt", bodyRoute("a.bin\r\n"));
    std::string body;
    std::wstring error;
    ASSERT_TRUE(httpGetToMemory(url("/58/dl_list.txt?launcher=1"), body, error)) << wideToUtf8(error);
    ASSERT_EQ(server.requests().size(), 1u);
    const SeenRequest seen = server.requests()[0];
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/58/dl_list.txt?launcher=1");
    EXPECT_EQ(seen.header("User-Agent"), "KIV Launcher/1.0");
    EXPECT_EQ(seen.header("Authorization"), "");
}

TEST_F(HttpTransfer, RequestTarget_IsTheSameOnBothTransportsForAwkwardEntries) {
    // libcurl used to drop everything after '#', which WinHTTP sent; both
    // now send the same encoded target.
    struct Case {
        std::wstring entry;
        std::string target;
    };
    const Case cases[] = {
        {L"a#b.bin", "/kiv/58/a%23b.bin"},
        {L"a.bin?b=1", "/kiv/58/a.bin?b=1"},
        {L"100%.bin", "/kiv/58/100%25.bin"},
        {L"%41.bin", "/kiv/58/%41.bin"},
        {L"my file.bin", "/kiv/58/my%20file.bin"},
        {L"caf\u00E9 \u00FC.bin", "/kiv/58/caf%C3%A9%20%C3%BC.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::size_t before = server.requests().size();
        std::string body;
        std::wstring error;
        httpGetToMemory(server.wideUrl("/kiv/58/") + c.entry, body, error);
        ASSERT_EQ(server.requests().size(), before + 1);
        EXPECT_EQ(server.requests().back().target, c.target);
    }
}

// ---- Retries -----------------------------------------------------------------------

TEST_F(HttpTransfer, Retries_ResumeOrStartOverAsTheServerAllows) {
    const std::string file = pattern(200 * 1024);
    const std::string changed = pattern(150 * 1024).replace(0, 7, "changed");
    auto whole = [&](std::string etag) {
        HttpRoute route = bodyRoute(file);
        route.etag = std::move(etag);
        route.ranges = true;
        return route;
    };
    auto cut = [&](std::uint64_t at) {
        HttpRoute route = whole("\"v1\"");
        route.cutAfter = at;
        return route;
    };
    HttpRoute unavailable = bodyRoute("busy");
    unavailable.status = 503;
    HttpRoute missing = bodyRoute("no");
    missing.status = 404;
    HttpRoute rangeRefused;
    rangeRefused.status = 416;
    HttpRoute ignoresRanges = whole("\"v1\"");
    ignoresRanges.ranges = false;
    HttpRoute changedFile = bodyRoute(changed);
    changedFile.etag = "\"v2\"";
    changedFile.ranges = true;
    HttpRoute byDate = bodyRoute(file);
    byDate.lastModified = "Mon, 07 Dec 2026 01:00:00 GMT";
    byDate.ranges = true;
    HttpRoute byDateCut = byDate;
    byDateCut.cutAfter = 50000;
    HttpRoute elsewhere = bodyRoute(file);  // the rest asked for, the whole file given as a part
    elsewhere.status = 206;
    elsewhere.extraHeaders = {"Content-Range: bytes 0-204799/204800"};
    HttpRoute noValidatorCut = bodyRoute(file);
    noValidatorCut.cutAfter = 1000;

    const std::string half = "bytes=102400-";
    struct Case {
        const char* name;
        std::vector<HttpRoute> answers;
        bool succeeds;
        std::string content;                 // of the file on success
        std::vector<std::string> ranges;     // the Range header of each request
        std::vector<std::string> ifRanges;   // the If-Range header of each request
    };
    const Case cases[] = {
        {"cut at half twice, then whole", {cut(102400), cut(50000), whole("\"v1\"")}, true, file,
         {"", half, "bytes=152400-"}, {"", "\"v1\"", "\"v1\""}},
        {"ranges ignored: starts over", {cut(102400), ignoresRanges}, true, file, {"", half}, {"", "\"v1\""}},
        {"changed tag: the new file", {cut(102400), changedFile}, true, changed, {"", half}, {"", "\"v1\""}},
        {"416: starts over", {cut(102400), rangeRefused, whole("\"v1\"")}, true, file, {"", half, ""},
         {"", "\"v1\"", ""}},
        {"part from elsewhere: starts over", {cut(102400), elsewhere, whole("\"v1\"")}, true, file, {"", half, ""},
         {"", "\"v1\"", ""}},
        {"Last-Modified as validator", {byDateCut, byDate}, true, file, {"", "bytes=50000-"},
         {"", byDate.lastModified}},
        {"no validator: starts over", {noValidatorCut, bodyRoute(file)}, true, file, {"", ""}, {"", ""}},
        {"503 then 200", {unavailable, whole("\"v1\"")}, true, file, {"", ""}, {"", ""}},
        {"404 is final", {missing, whole("\"v1\"")}, false, "", {""}, {""}},
        {"503 four times", {unavailable}, false, "", {"", "", "", ""}, {"", "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.setRouteSequence("/f.bin", c.answers);
        std::size_t before = server.requests().size();
        std::vector<int> notices;
        options.retryNotice = [&](int retry) { notices.push_back(retry); };
        std::wstring error;
        EXPECT_EQ(toFile("/f.bin", work / "f.bin", error), c.succeeds) << wideToUtf8(error);
        if (c.succeeds) {
            EXPECT_EQ(test::readFile(work / "f.bin"), c.content);
        }
        std::vector<SeenRequest> seen = server.requests();
        ASSERT_EQ(seen.size() - before, c.ranges.size());
        std::vector<int> expectedNotices;
        for (std::size_t i = 0; i < c.ranges.size(); ++i) {
            EXPECT_EQ(seen[before + i].header("Range"), c.ranges[i]) << i;
            EXPECT_EQ(seen[before + i].header("If-Range"), c.ifRanges[i]) << i;
            if (i > 0) expectedNotices.insert(expectedNotices.end(), {static_cast<int>(i), 0});
        }
        EXPECT_EQ(notices, expectedNotices);
        if (c.succeeds) {
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{c.content.size()}, std::uint64_t{c.content.size()}));
        }
    }
}

TEST_F(HttpTransfer, MemoryTransfer_IsNotRetried) {
    HttpRoute unavailable = bodyRoute("busy");
    unavailable.status = 503;
    server.setRouteSequence("/58/dl_list.txt", {unavailable, bodyRoute("a.bin\r\n")});
    std::string body;
    std::wstring error;
    EXPECT_FALSE(httpGetToMemory(url("/58/dl_list.txt"), body, error, options));
    EXPECT_EQ(error, L"HTTP status 503.");
    EXPECT_EQ(server.requests().size(), 1u);
}

// ---- Files -----------------------------------------------------------------------

TEST_F(HttpTransfer, MissingParentDirectories_AreCreated) {
    test::writeFile(root / "58" / "data.bin", "payload");
    auto target = work / "patches" / "version_58" / toPath(L"d\u00E9j\u00E0") / "data.bin";
    std::wstring error;
    ASSERT_TRUE(toFile("/58/data.bin", target, error)) << wideToUtf8(error);
    EXPECT_EQ(test::readFile(target), "payload");
}

TEST_F(HttpTransfer, UnusableTarget_DirectoryOrFileAsParentFails) {
    test::writeFile(root / "a.bin", "payload");
    std::filesystem::create_directories(work / "a.bin");
    std::wstring error;
    EXPECT_FALSE(toFile("/a.bin", work / "a.bin", error));
    EXPECT_EQ(error, L"Could not create download target.");

    test::writeFile(work / "plain", "not a directory");
    error.clear();
    EXPECT_FALSE(toFile("/a.bin", work / "plain" / "a.bin", error));
    EXPECT_EQ(error, L"Could not create download target.");
}

// ---- The body loops over a scripted transport ------------------------------------------

// Plays back a fixed sequence of transport answers.
class ScriptedRequest : public net::Request {
public:
    enum class Step { data, queryFails, readFails, readsNothing };
    struct Answer {
        Step step;
        std::string bytes;
        std::size_t announced = 0;  // what queryDataAvailable reports when larger than bytes
    };

    // What the transfer did with the request, readable after it is gone.
    struct Probe {
        bool closed = false;
        std::size_t largestRead = 0;
    };

    ScriptedRequest(std::deque<Answer> answers, std::optional<std::uint64_t> length, Probe* probe = nullptr)
        : answers_(std::move(answers)), length_(length), probe_(probe) {}
    ~ScriptedRequest() override {
        if (probe_) probe_->closed = true;
    }

    int status() override { return 200; }
    std::string header(std::string_view) override { return {}; }
    bool contentLength(std::uint64_t& length) override {
        if (!length_) return false;
        length = *length_;
        return true;
    }
    bool queryDataAvailable(std::size_t& available) override {
        if (answers_.empty()) {
            available = 0;
            return true;
        }
        const Answer& next = answers_.front();
        if (next.step == Step::queryFails) return false;
        available = std::max(next.bytes.size(), next.announced);
        if (available == 0) available = 1;
        return true;
    }
    bool readData(char* buffer, std::size_t size, std::size_t& read) override {
        if (probe_) probe_->largestRead = std::max(probe_->largestRead, size);
        Answer& next = answers_.front();
        if (next.step == Step::readFails) return false;
        if (next.step == Step::readsNothing) {
            read = 0;
            return true;
        }
        read = std::min(size, next.bytes.size());
        std::copy_n(next.bytes.data(), read, buffer);
        next.bytes.erase(0, read);
        next.announced = 0;
        if (next.bytes.empty()) answers_.pop_front();
        return true;
    }

private:
    std::deque<Answer> answers_;
    std::optional<std::uint64_t> length_;
    Probe* probe_;
};

using Step = ScriptedRequest::Step;

TEST(HttpBodyLoop, ReadToFile_ProgressOncePerChunkWithRunningSum) {
    TempDir work;
    Calls calls;
    std::wstring error;
    auto request = std::make_unique<ScriptedRequest>(
        std::deque<ScriptedRequest::Answer>{{Step::data, "abc"}, {Step::data, "defgh"}, {Step::data, "ij"}}, 10);
    ASSERT_TRUE(net::readToFile(std::move(request), work / "f",
                                [&](std::uint64_t r, std::uint64_t t) { calls.emplace_back(r, t); }, error));
    EXPECT_EQ(calls, (Calls{{3, 10}, {8, 10}, {10, 10}}));
    EXPECT_EQ(test::readFile(work / "f"), "abcdefghij");
}

TEST(HttpBodyLoop, ReadToFile_MoreThanAnnounced_DeletesFileAndGivesCounts) {
    TempDir work;
    std::wstring error;
    auto request = std::make_unique<ScriptedRequest>(
        std::deque<ScriptedRequest::Answer>{{Step::data, "abc"}, {Step::data, "de"}}, 4);
    EXPECT_FALSE(net::readToFile(std::move(request), work / "f", {}, error));
    EXPECT_EQ(error, L"Download was incomplete (5/4 bytes).");
    EXPECT_FALSE(std::filesystem::exists(work / "f"));
}

// Records what a transfer hands its observer.
struct SeenBytes : DownloadObserver {
    void restart() override { text += "|"; }
    void data(const void* bytes, std::size_t size) override { text.append(static_cast<const char*>(bytes), size); }
    std::string text;
};

// A cap that only looks at the announced length lets a server without one
// (or one that sends more than it announced) fill the disk; an observer that
// is not told of the start, or sees other bytes than the file, hashes the
// wrong thing.
TEST(HttpBodyLoop, ReadToFile_CapAndObserver) {
    const struct {
        const char* name;
        std::optional<std::uint64_t> announced;
        std::uint64_t cap;
        bool ok;
        const char* seen;
    } cases[] = {
        {"exactly the cap, announced", 5, 5, true, "|abcde"},
        {"exactly the cap, not announced", std::nullopt, 5, true, "|abcde"},
        {"no cap", std::nullopt, 0, true, "|abcde"},
        {"announced above the cap", 5, 4, false, ""},
        {"not announced, more than the cap", std::nullopt, 4, false, "|abc"},
        {"announced within the cap, more sent", 3, 4, false, "|abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir work;
        std::wstring error;
        SeenBytes seen;
        auto request = std::make_unique<ScriptedRequest>(
            std::deque<ScriptedRequest::Answer>{{Step::data, "abc"}, {Step::data, "de"}}, c.announced);
        EXPECT_EQ(net::readToFile(std::move(request), work / "f", {}, error, {.maxBytes = c.cap, .observer = &seen}),
                  c.ok);
        EXPECT_EQ(seen.text, c.seen);
        if (c.ok) {
            EXPECT_EQ(test::readFile(work / "f"), "abcde");
        } else {
            EXPECT_FALSE(std::filesystem::exists(work / "f"));
            EXPECT_EQ(error, kDownloadTooLarge);
        }
    }
}

TEST(HttpBodyLoop, TransportFailures_KeepThePartialFileAndGiveTheStepsMessage) {
    struct Case {
        Step step;
        const wchar_t* fileMessage;
        const wchar_t* memoryMessage;
    };
    for (Case c : {Case{Step::queryFails, L"Could not query download data.", L"Could not query response data."},
                   Case{Step::readFails, L"Could not read download data.", L"Could not read response data."},
                   Case{Step::readsNothing, L"Download ended unexpectedly.", L"Could not read response data."}}) {
        SCOPED_TRACE(wideToUtf8(c.fileMessage));
        TempDir work;
        std::wstring error;
        ScriptedRequest::Probe probe;
        auto request = std::make_unique<ScriptedRequest>(
            std::deque<ScriptedRequest::Answer>{{Step::data, "abc"}, {c.step, "x"}}, 10, &probe);
        EXPECT_FALSE(net::readToFile(std::move(request), work / "f", {}, error));
        EXPECT_EQ(error, c.fileMessage);
        EXPECT_TRUE(probe.closed);
        EXPECT_EQ(test::readFile(work / "f"), "abc");

        ScriptedRequest inMemory({{Step::data, "abc"}, {c.step, "x"}}, std::nullopt);
        std::string body;
        EXPECT_FALSE(net::readToMemory(inMemory, body, error));
        EXPECT_EQ(error, c.memoryMessage);
    }
}

TEST(HttpBodyLoop, ReadToFile_HugeAvailableCount_IsReadInBoundedPieces) {
    TempDir work;
    std::wstring error;
    std::string payload = pattern(net::kMaxChunk + 10);
    ScriptedRequest::Probe probe;
    auto request = std::make_unique<ScriptedRequest>(
        std::deque<ScriptedRequest::Answer>{{Step::data, payload, std::size_t{1} << 30}}, std::nullopt, &probe);
    ASSERT_TRUE(net::readToFile(std::move(request), work / "f", {}, error));
    EXPECT_EQ(test::readFile(work / "f"), payload);
    EXPECT_EQ(probe.largestRead, net::kMaxChunk);
}

TEST(HttpBodyLoop, ReadToFile_RefusedWrite_FailsWithTheWriteMessage) {
    // A full disk: the target is created, then no byte can be written.
    TempDir work;
    test::RefuseFileChanges full([](const FileChange& change) { return change.kind == FileChange::Kind::write; });
    std::wstring error;
    auto request = std::make_unique<ScriptedRequest>(std::deque<ScriptedRequest::Answer>{{Step::data, "abc"}},
                                                     std::nullopt);
    EXPECT_FALSE(net::readToFile(std::move(request), work / "f", {}, error));
    EXPECT_EQ(error, L"Could not write downloaded data.");
}

TEST(HttpBodyLoop, ReadToMemory_BodyUpToTheLimitOnly) {
    ScriptedRequest atLimit({{Step::data, "abc"}, {Step::data, "def"}}, 6);
    std::string body;
    std::wstring error;
    ASSERT_TRUE(net::readToMemory(atLimit, body, error, 6));
    EXPECT_EQ(body, "abcdef");
    ScriptedRequest pastLimit({{Step::data, "abcd"}, {Step::data, "efgh"}}, std::nullopt);
    EXPECT_FALSE(net::readToMemory(pastLimit, body, error, 6));
    EXPECT_EQ(error, L"Could not read response data.");
}

TEST(HttpBodyLoop, ParseContentLength_AcceptsDigitsOnly) {
    std::uint64_t length = 7;
    EXPECT_TRUE(net::parseContentLength(" 2048\r\n", length));
    EXPECT_EQ(length, 2048u);
    EXPECT_TRUE(net::parseContentLength("18446744073709551615", length));
    EXPECT_EQ(length, UINT64_MAX);
    EXPECT_TRUE(net::parseContentLength("5000000000", length));
    EXPECT_EQ(length, 5000000000u);
    length = 7;
    for (const char* bad : {"", " ", "-1", "12a", "1 2", "0x10", "18446744073709551616"}) {
        EXPECT_FALSE(net::parseContentLength(bad, length)) << bad;
    }
    EXPECT_EQ(length, 7u);
}

TEST(HttpStallWatch, StalledExactlyWhenSomeWindowEndingNowHoldsTooLittle) {
    using namespace std::chrono_literals;
    using Clock = net::StallWatch::Clock;
    const Clock::time_point t0{};
    struct Case {
        const char* name;
        std::vector<std::pair<int, std::uint64_t>> arrivals;  // (ms after the start, bytes)
        int now;                                              // ms after the start
        bool stalled;
    };
    const Case cases[] = {
        {"nothing yet, window not over", {}, 999, false},
        {"nothing for a whole window", {}, 1000, true},
        {"too little in the first window", {{100, 1023}}, 1000, true},
        {"enough in the first window", {{100, 1024}}, 1000, false},
        {"enough, then too long without", {{100, 1024}}, 1100, true},
        {"the last 1,024 bytes began within the window", {{0, 512}, {400, 256}, {800, 256}, {1300, 512}}, 1399,
         false},
        {"the last 1,024 bytes began a window ago", {{0, 512}, {400, 256}, {800, 256}, {1300, 512}}, 1400, true},
        {"small pieces at a steady rate", {{300, 300}, {600, 300}, {900, 300}, {1200, 300}, {1500, 300}}, 1599,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        net::StallWatch watch(1000ms, 1024, t0);
        for (auto [at, bytes] : c.arrivals) watch.add(bytes, t0 + std::chrono::milliseconds(at));
        EXPECT_EQ(watch.stalled(t0 + std::chrono::milliseconds(c.now)), c.stalled);
    }
}

}  // namespace
}  // namespace kiv

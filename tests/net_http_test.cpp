// The HTTP transfers against a loopback server that misbehaves on request.
// The same cases run on both platforms, so they hold for both transports.
#include "net/http.h"

#include "base/base.h"
#include "net/transport.h"

#include "tools/loopback_server/loopback_server.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

// The routes are written with designated initializers: the members left out
// take their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using test::pattern;
using test::TempDir;
// The last progress report of a file transfer, if any.
using Report = std::optional<std::pair<std::uint64_t, std::uint64_t>>;

// What a file transfer hands its observer and its progress callable, as one
// text: "|" for a restart, each piece's bytes, "<received/total>" per report.
struct Record : DownloadObserver {
    void restart() override {
        text += "|";
        sinceRestart = text.size();
    }
    void data(const void* bytes, std::size_t size) override { text.append(static_cast<const char*>(bytes), size); }
    DownloadProgress progress() {
        return [this](std::uint64_t r, std::uint64_t t) {
            text.append("<").append(std::to_string(r)).append("/").append(std::to_string(t)).append(">");
        };
    }
    std::string text;
    std::size_t sinceRestart = 0;  // where the text after the last restart begins
};

class HttpTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem;
        ASSERT_TRUE(server.start(problem)) << problem;
    }

    std::wstring url(std::string_view path) const { return server.wideUrl(path); }

    // A transfer's result as one text: the body, or "!" and the error.
    std::string toMemory(const std::wstring& address) {
        std::string body = "stale";
        std::wstring error;
        return httpGetToMemory(address, body, error, options) ? body : wideToUtf8(L"!" + error);
    }
    std::string toFile(const std::wstring& address, const std::filesystem::path& file) {
        std::wstring error;
        progress.reset();
        auto report = [this](std::uint64_t received, std::uint64_t total) { progress.emplace(received, total); };
        return httpGetToFile(address, file, report, error, options) ? test::readFile(file) : wideToUtf8(L"!" + error);
    }

    TempDir work;
    HttpServer server;
    TransferOptions options{.retryDelays = {10ms, 10ms, 10ms}};  // retries without the waits
    Report progress;
};

// Each way a body can come, into memory and into a file in folders yet to be
// made: whole, with a last report of the announced total (0 when none was
// announced) and none for an empty body; or stalled, once a window of 1 s
// brings fewer than 1,024 bytes, without waiting for the transport's own
// time-outs (30 s and more).
TEST_F(HttpTransfer, Bodies_ArriveByteForByteOrFailAsStalled) {
    using Framing = HttpRoute::Framing;
    options.stallWindow = 1s;
    const std::string payload = pattern(600 * 1024 + 3);
    const std::string small = pattern(6000);
    const std::string stalled = "!Download stalled.";
    struct Case {
        const char* name;
        HttpRoute route;
        std::string outcome;  // the body, or "!" and the error
        bool announced;
    };
    const Case cases[] = {
        {"length", {.body = payload}, payload, true},
        {"ended by the close", {.body = payload, .framing = Framing::close}, payload, false},
        {"chunked", {.body = payload, .framing = Framing::chunked}, payload, false},
        {"empty, length", {.body = ""}, "", true},
        {"no content", {.status = 204, .body = "error page"}, "", false},
        {"bad request, the first failing status", {.status = 400, .body = "error page"}, "!HTTP status 400.", false},
        {"stops after 1000 bytes", {.body = small, .stallAfter = 1000}, stalled, true},
        {"drips 20 bytes per 100 ms", {.body = small, .dripBytes = 20, .dripInterval = 100ms}, stalled, true},
        {"drips 600 bytes per 100 ms", {.body = small, .dripBytes = 600, .dripInterval = 100ms}, small, true},
        // Each header byte well within the window, the headers as a whole not.
        {"headers trickle a byte per 200 ms", {.body = small, .headerByteInterval = 200ms}, stalled, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        server.setRoute("/f", c.route);
        EXPECT_EQ(toMemory(url("/f")), c.outcome);
        EXPECT_EQ(toFile(url("/f"), work / toPath(L"d\u00E9j\u00E0") / std::to_string(i) / "f.bin"), c.outcome);
        const std::uint64_t size = c.outcome.size();
        if (c.outcome.starts_with("!")) continue;
        EXPECT_EQ(progress, size == 0 ? Report() : Report({size, c.announced ? size : 0}));
    }
}

// Every address is either refused before any byte of a body, or sent as a
// plain GET with the launcher's user agent and the same target on both
// transports for awkward entries ('#' is part of a name, never a fragment).
// A failure gives its message from both transfers and makes no folder; the
// memory transfer is never retried, the file transfer only when the failure
// may pass.
TEST_F(HttpTransfer, Addresses_AreRefusedOrSentAsTheSameTarget) {
    server.setRoute("/busy", {.status = 503, .body = "busy"});
    const std::string longest(2042, 'a');  // with "/kiv/", the longest path allowed
    const struct {
        std::wstring url;
        std::string error;
        std::size_t requests;  // that reach the server, of both transfers
        std::string target;
    } cases[] = {
        {L"", "Invalid URL.", 0, ""},
        {L"ftp://127.0.0.1:" + std::to_wstring(server.port()) + L"/a.bin", "Invalid URL.", 0, ""},
        {L"http:///a.bin", "Invalid URL.", 0, ""},
        {L"http://" + std::wstring(256, L'a') + L"/a.bin", "Invalid URL.", 0, ""},
        {url("/kiv/a" + longest), "Invalid URL.", 0, ""},
        {L"http://127.0.0.1:1/x.bin", "HTTP request failed.", 0, ""},  // a closed port
        {url("/busy"), "HTTP status 503.", 1 + 1 + kMaxRetries, "/busy"},
        {url("/kiv/" + longest), "HTTP status 404.", 2, "/kiv/" + longest},
        {url("/kiv/a#b.bin"), "HTTP status 404.", 2, "/kiv/a%23b.bin"},
        {url("/kiv/a.bin?b=1"), "HTTP status 404.", 2, "/kiv/a.bin?b=1"},
        {url("/kiv/%g1%4.bin"), "HTTP status 404.", 2, "/kiv/%25g1%254.bin"},
        {url("/kiv/%41.bin"), "HTTP status 404.", 2, "/kiv/%41.bin"},
        {url("/kiv/") + L"caf\u00E9 \u00FC.bin", "HTTP status 404.", 2, "/kiv/caf%C3%A9%20%C3%BC.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(wideToUtf8(c.url.substr(0, 60)));
        const std::size_t before = server.requests().size();
        EXPECT_EQ(toMemory(c.url), "!" + c.error);
        EXPECT_EQ(toFile(c.url, work / "d" / "f.bin"), "!" + c.error);
        EXPECT_FALSE(std::filesystem::exists(work / "d"));
        std::vector<std::string> seen;
        for (std::size_t i = before; i < server.requests().size(); ++i) {
            const SeenRequest request = server.requests()[i];
            seen.push_back(request.method + " " + request.target + " " + request.header("User-Agent"));
        }
        EXPECT_EQ(seen, std::vector<std::string>(c.requests, "GET " + c.target + " KIV Launcher/1.0"));
    }
}

// A retry continues the file only when the server shows that it is the same
// file (a strong ETag, else Last-Modified, as If-Range) and its part starts
// where the file ends; otherwise it starts the file over.
TEST_F(HttpTransfer, Retries_ResumeOrStartOverAsTheServerAllows) {
    const std::string file = pattern(200 * 1024);
    // Shorter than what the first attempt leaves, so that a file not started
    // over from zero shows.
    const std::string changed = pattern(50 * 1024).replace(0, 7, "changed");
    const std::string date = "Mon, 07 Dec 2026 01:00:00 GMT";
    const HttpRoute v1 = {.body = file, .etag = "\"v1\"", .ranges = true};
    const HttpRoute byDate = {.body = file, .lastModified = date, .ranges = true};
    const HttpRoute weak = {.body = file, .etag = "W/\"v1\"", .ranges = true};
    // The rest asked for, the whole file given as a part.
    const HttpRoute elsewhere = {.status = 206, .body = file, .extraHeaders = {"Content-Range: bytes 0-204799/204800"}};
    auto cut = [](HttpRoute route, std::uint64_t at) {
        route.cutAfter = at;
        return route;
    };
    const std::string half = "bytes=102400-|\"v1\"";
    const struct {
        const char* name;
        std::vector<HttpRoute> answers;
        std::string outcome;             // the file, or "!" and the error
        std::vector<std::string> asked;  // "Range|If-Range" of each request
    } cases[] = {
        {"cut twice, then whole", {cut(v1, 102400), cut(v1, 50000), v1}, file, {"|", half, "bytes=152400-|\"v1\""}},
        {"changed tag: the new file", {cut(v1, 102400), {.body = changed, .etag = "\"v2\"", .ranges = true}}, changed,
         {"|", half}},
        {"416: starts over", {cut(v1, 102400), {.status = 416, .body = ""}, v1}, file, {"|", half, "|"}},
        {"part from elsewhere: starts over", {cut(v1, 102400), elsewhere, v1}, file, {"|", half, "|"}},
        {"Last-Modified as validator", {cut(byDate, 50000), byDate}, file, {"|", "bytes=50000-|" + date}},
        {"weak tag: starts over", {cut(weak, 1000), weak}, file, {"|", "|"}},
        {"cut before the announced length, no validator", {{.body = pattern(1000), .announcedLength = 2048}},
         "!Download was incomplete (1000/2048 bytes).", {"|", "|", "|", "|"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.setRouteSequence("/f.bin", c.answers);
        const std::size_t before = server.requests().size();
        std::vector<int> notices;
        options.retryNotice = [&](int retry) { notices.push_back(retry); };
        Record record;
        options.observer = &record;
        EXPECT_EQ(toFile(url("/f.bin"), work / "f.bin"), c.outcome);
        const std::vector<SeenRequest> seen = server.requests();
        std::vector<std::string> asked;
        std::vector<int> expectedNotices;
        for (std::size_t i = before; i < seen.size(); ++i) {
            asked.push_back(seen[i].header("Range") + "|" + seen[i].header("If-Range"));
            if (i > before) expectedNotices.insert(expectedNotices.end(), {static_cast<int>(i - before), 0});
        }
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(notices, expectedNotices);
        const bool ok = !c.outcome.starts_with('!');
        EXPECT_EQ(std::filesystem::exists(work / "f.bin"), ok);
        if (!ok) continue;
        EXPECT_EQ(progress, Report({c.outcome.size(), c.outcome.size()}));
        // The observer sees the file as it stands: what came after its last restart.
        EXPECT_EQ(record.text.substr(record.sinceRestart), c.outcome);
    }
}

// Fault: a connection per request, more connections at once than the bound,
// a kept-alive connection that the server dropped failing its file, or a file
// that fails for good leaving the others to run on. Three lists in memory,
// then a set of 20 files, all over one session to a server that keeps
// connections alive.
TEST_F(HttpTransfer, FileSets_ShareBoundedConnectionsAndStopAtTheFirstFailure) {
    const std::size_t count = 20;
    const struct {
        const char* name;
        HttpRoute route;             // for every file but the fourth
        std::optional<HttpRoute> fourth;
        std::string outcome;         // "" when every file arrives, else "index: error"
        std::size_t maxConnections;  // accepted by the server
    } cases[] = {
        {"kept alive", {}, std::nullopt, "", kParallelDownloads},
        {"each connection dropped after its answer", {.closeAfter = true}, std::nullopt, "", 3 + count},
        // The others would take 4 s each.
        {"fourth file missing", {.dripBytes = 1000, .dripInterval = 1s}, HttpRoute{.status = 404, .body = ""},
         "3: HTTP status 404.", kParallelDownloads},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpServer restarted;  // a fresh count of connections
        std::string problem;
        ASSERT_TRUE(restarted.start(problem)) << problem;
        restarted.setKeepAlive(true);
        std::vector<FileDownload> files;
        std::vector<std::string> bodies;
        for (std::size_t i = 0; i < count; ++i) {
            HttpRoute route = i == 3 && c.fourth ? *c.fourth : c.route;
            if (!route.body) route.body = pattern(4000 + i);
            bodies.push_back(*route.body);
            restarted.setRoute("/" + std::to_string(i), route);
            files.push_back({restarted.wideUrl("/" + std::to_string(i)), work / c.name / std::to_string(i)});
        }
        restarted.setRoute("/list", {.body = "list", .closeAfter = c.route.closeAfter});
        HttpSession session;
        options.session = &session;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(toMemory(restarted.wideUrl("/list")), "list");
        std::size_t finished = 0, failed = count;
        std::wstring error;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = httpGetFiles(session, files, {.finished = [&](std::size_t) { ++finished; }}, failed, error,
                                     options);
        EXPECT_EQ(ok ? "" : std::to_string(failed) + ": " + wideToUtf8(error), c.outcome);
        EXPECT_LE(restarted.acceptedConnections(), c.maxConnections);
        if (!ok) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
            continue;
        }
        EXPECT_EQ(finished, count);
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(test::readFile(files[i].file), bodies[i]) << i;
    }
}

// ---- The body loops over a scripted transport ------------------------------------------

// Plays back a fixed sequence of transport answers. It reports one chunk more
// available than it holds, as a transport may, and fails a read of more than
// one chunk: the body loops must bound their buffers whatever is reported.
class ScriptedRequest : public net::Request {
public:
    enum class Step { data, queryFails, readFails };
    struct Answer {
        Step step;
        std::string bytes;  // none: data announced, then nothing read
    };

    ScriptedRequest(std::deque<Answer> answers, std::optional<std::uint64_t> length = std::nullopt)
        : answers_(std::move(answers)), length_(length) {}

    int status() override { return 200; }
    std::string header(std::string_view) override { return {}; }
    bool contentLength(std::uint64_t& length) override {
        length = length_.value_or(0);
        return length_.has_value();
    }
    bool queryDataAvailable(std::size_t& available) override {
        available = answers_.empty() ? 0 : answers_.front().bytes.size() + net::kMaxChunk;
        return answers_.empty() || answers_.front().step != Step::queryFails;
    }
    bool readData(char* buffer, std::size_t size, std::size_t& read) override {
        Answer& next = answers_.front();
        const bool ok = next.step == Step::data && size <= net::kMaxChunk;
        read = std::min(size, next.bytes.size());
        std::copy_n(next.bytes.data(), read, buffer);
        next.bytes.erase(0, read);
        if (next.bytes.empty()) answers_.pop_front();
        return ok;
    }

private:
    std::deque<Answer> answers_;
    std::optional<std::uint64_t> length_;
};

using Step = ScriptedRequest::Step;
using Script = std::deque<ScriptedRequest::Answer>;

// The length checks, the cap (which counts the bytes, announced or not), the
// observer following the file, the running progress sum and the message of
// each transport failure, for both body loops.
TEST(HttpBodyLoop, EachBody_GivesItsBytesOrItsMessage) {
    const Script abcde = {{Step::data, "abc"}, {Step::data, "de"}};
    auto abcThen = [](Step step) { return Script{{Step::data, "abc"}, {step, ""}}; };
    const std::wstring tooLarge = kDownloadTooLarge;
    const std::string unread = "!Could not read response data.";
    const std::string gone = "(deleted)";
    const struct {
        const char* name;
        Script script;
        std::optional<std::uint64_t> announced;
        std::uint64_t cap;  // the file's maxBytes and the memory body's limit; 0: none
        std::wstring fileError;
        std::string memory;  // the body, or "!" and the error
        std::string seen;
        std::string left;  // the file after the transfer
    } cases[] = {
        {"exactly the cap, announced", abcde, 5, 5, L"", "abcde", "|abc<3/5>de<5/5>", "abcde"},
        {"exactly the cap, not announced", abcde, std::nullopt, 5, L"", "abcde", "|abc<3/0>de<5/0>", "abcde"},
        {"announced above the cap", abcde, 5, 4, tooLarge, "!" + wideToUtf8(tooLarge), "", gone},
        {"not announced, more than the cap", abcde, std::nullopt, 4, tooLarge, "!" + wideToUtf8(tooLarge), "|abc<3/0>", gone},
        {"announced within the cap, more sent", abcde, 3, 4, tooLarge, "!" + wideToUtf8(tooLarge), "|abc<3/3>", gone},
        {"more than announced", abcde, 4, 0, L"Download was incomplete (5/4 bytes).", unread, "|abc<3/4>de<5/4>",
         gone},
        {"less than announced", abcde, 6, 0, L"Download was incomplete (5/6 bytes).", unread, "|abc<3/6>de<5/6>",
         gone},
        {"query fails", abcThen(Step::queryFails), 10, 0, L"Could not query download data.",
         "!Could not query response data.", "|abc<3/10>", "abc"},
        {"read fails", abcThen(Step::readFails), 10, 0, L"Could not read download data.", unread, "|abc<3/10>", "abc"},
        {"read brings nothing", abcThen(Step::data), 10, 0, L"Download ended unexpectedly.", unread, "|abc<3/10>",
         "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir work;
        Record record;
        std::wstring error;
        EXPECT_EQ(net::readToFile(std::make_unique<ScriptedRequest>(c.script, c.announced), work / "f",
                                  record.progress(), error, {.maxBytes = c.cap, .observer = &record}),
                  c.fileError.empty());
        EXPECT_EQ(error, c.fileError);
        EXPECT_EQ(record.text, c.seen);
        EXPECT_EQ(std::filesystem::exists(work / "f") ? test::readFile(work / "f") : gone, c.left);

        ScriptedRequest inMemory(c.script, c.announced);
        std::string body = "stale";
        const bool ok = net::readToMemory(inMemory, body, error, c.cap != 0 ? c.cap : net::kMaxMemoryBody);
        EXPECT_EQ(ok ? body : wideToUtf8(L"!" + error), c.memory);
    }
}

// A folder in the way, and a full disk (the file is made, then no byte can be
// written).
TEST(HttpBodyLoop, UnwritableTargets_FailWithTheirMessage) {
    TempDir work;
    std::filesystem::create_directories(work / "folder.bin");
    std::wstring error;
    EXPECT_FALSE(net::readToFile(std::make_unique<ScriptedRequest>(Script{{Step::data, "abc"}}), work / "folder.bin",
                                 {}, error));
    EXPECT_EQ(error, L"Could not create download target.");
    test::RefuseFileChanges full([](const FileChange& change) { return change.kind == FileChange::Kind::write; });
    EXPECT_FALSE(
        net::readToFile(std::make_unique<ScriptedRequest>(Script{{Step::data, "abc"}}), work / "f.bin", {}, error));
    EXPECT_EQ(error, L"Could not write downloaded data.");
}

TEST(HttpBodyLoop, ParseContentLength_AcceptsDigitsOnly) {
    std::uint64_t length = 0;
    EXPECT_TRUE(net::parseContentLength(" 18446744073709551615\r\n", length));
    EXPECT_EQ(length, UINT64_MAX);
    for (const char* bad : {"", " ", "-1", "12a", "1 2", "0x10", "18446744073709551616"}) {
        EXPECT_FALSE(net::parseContentLength(bad, length)) << bad;
    }
}

TEST(HttpStallWatch, StalledExactlyWhenSomeWindowEndingNowHoldsTooLittle) {
    const net::StallWatch::Clock::time_point t0{};
    const struct {
        const char* name;
        std::vector<std::pair<int, std::uint64_t>> arrivals;  // (ms after the start, bytes)
        int now;                                              // ms after the start
        bool stalled;
    } cases[] = {
        {"nothing yet, window not over", {}, 999, false},
        {"nothing for a whole window", {}, 1000, true},
        {"too little in the first window", {{100, 1023}}, 1000, true},
        {"enough in the first window", {{100, 1024}}, 1000, false},
        {"last 1,024 bytes within the window", {{0, 512}, {400, 256}, {800, 256}, {1300, 512}}, 1399, false},
        {"last 1,024 bytes a window ago", {{0, 512}, {400, 256}, {800, 256}, {1300, 512}}, 1400, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        net::StallWatch watch(1000ms, 1024, t0);
        for (auto [at, bytes] : c.arrivals) watch.add(bytes, t0 + std::chrono::milliseconds(at));
        EXPECT_EQ(watch.stalled(t0 + std::chrono::milliseconds(c.now)), c.stalled);
    }
}

}  // namespace
}  // namespace kiv

// A loopback HTTP server for trying the launcher against a local patch
// server, and for tests. It serves the files below a directory and can be told,
// per path, to misbehave: any status, no Content-Length, a Content-Length
// that does not match the body, a redirect, a stall, a drip, a connection cut
// short, byte ranges honoured or ignored, or a different answer per request. It listens on
// 127.0.0.1 only, on a given port or one the system picks, and answers one request per
// connection and closes it, or, when told to, keeps connections alive and counts
// them. It builds with both toolchains and needs no test framework.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kiv {

// How the server answers one path. Paths are compared after percent-decoding,
// without the query.
struct HttpRoute {
    enum class Framing {
        length,   // Content-Length (see announcedLength)
        close,    // neither Content-Length nor chunks: the closed connection ends the body
        chunked,  // Transfer-Encoding: chunked
    };

    int status = 200;
    // The body; when not set, the file at the path below the root, or nothing
    // when there is none. Statuses 1xx, 204 and 304 never carry a body.
    std::optional<std::string> body;
    Framing framing = Framing::length;
    // The Content-Length to announce instead of the body's size: larger to
    // close the connection early, smaller to send more than announced.
    std::optional<std::uint64_t> announcedLength;
    // Sent as a Location header when not empty.
    std::string location;
    // Send the headers and this many body bytes, then hold the connection
    // open without sending until the client gives up or the server stops.
    std::optional<std::uint64_t> stallAfter;
    // More header lines ("Name: value"), sent as they are.
    std::vector<std::string> extraHeaders;
    // Send the headers and this many body bytes, then close the connection.
    std::optional<std::uint64_t> cutAfter;
    // Send the body this many bytes at a time, waiting dripInterval between
    // the pieces.
    std::size_t dripBytes = 0;
    std::chrono::milliseconds dripInterval{0};
    // With keep-alive on: answer as if the connection stays open, then close
    // it (a server dropping an idle connection just as the client reuses it).
    bool closeAfter = false;
    // Send the status line and headers one byte at a time, waiting this long
    // between the bytes (a server that keeps a client waiting for headers).
    std::chrono::milliseconds headerByteInterval{0};
    // Validators, sent as ETag and Last-Modified when not empty, and compared
    // with If-Range.
    std::string etag;
    std::string lastModified;
    // Honour "Range: bytes=FIRST-" on a 200 answer: 206 with the rest, 416
    // past the end; an If-Range that matches neither validator gets the
    // whole body. Otherwise Range is ignored.
    bool ranges = false;
};

// One request as the server received it.
struct SeenRequest {
    std::string method;
    std::string target;  // as sent, percent-encoding and query included
    std::string head;    // the request line and header lines, CR LF separated
    // The value of the first header called `name` (any case), or empty.
    std::string header(std::string_view name) const;
};

class HttpServer {
public:
    // Serves files below `root` (nothing when empty).
    explicit HttpServer(std::filesystem::path root = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds 127.0.0.1 on `port` (0: a free one) and starts answering. False with a
    // message when no socket could be bound.
    bool start(std::string& error, std::uint16_t port = 0);
    // Stops accepting, ends stalled answers and waits for every connection.
    void stop();

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::string url(std::string_view path = "/") const;
    std::wstring wideUrl(std::string_view path = "/") const;

    // The path "*" answers every path that has no route of its own.
    void setRoute(const std::string& path, HttpRoute route);
    // Answers the requests for `path` with these routes in turn; the last one
    // then answers every later request.
    void setRouteSequence(const std::string& path, std::vector<HttpRoute> routes);
    void clearRoutes();
    std::vector<SeenRequest> requests() const;
    // Answers further requests on a connection instead of closing it after
    // the first (HTTP/1.1 keep-alive); off by default.
    void setKeepAlive(bool on) { keepAlive_ = on; }
    // The connections accepted since start.
    std::size_t acceptedConnections() const { return accepted_; }

private:
    struct Connection;
    void acceptLoop();
    void serve(Connection& connection);
    bool answer(std::uintptr_t socket, std::string& received);
    bool sleepUnlessStopping(std::chrono::milliseconds pause) const;
    void reapFinished(bool all);

    std::filesystem::path root_;
    std::uintptr_t listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> keepAlive_{false};
    std::atomic<std::size_t> accepted_{0};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::map<std::string, std::deque<HttpRoute>> routes_;
    std::vector<SeenRequest> requests_;
    std::vector<std::unique_ptr<Connection>> connections_;
    bool socketsStarted_ = false;
};

}  // namespace kiv

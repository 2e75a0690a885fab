#include "tools/loopback_server/loopback_server.h"

#include "base/base.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kiv {

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr std::uintptr_t kNoSocket = static_cast<std::uintptr_t>(INVALID_SOCKET);
void closeSocket(Socket s) { closesocket(s); }
constexpr int kShutdownWrite = SD_SEND;
constexpr int kShutdownBoth = SD_BOTH;
constexpr int kSendFlags = 0;
#else
using Socket = int;
constexpr std::uintptr_t kNoSocket = static_cast<std::uintptr_t>(-1);
void closeSocket(Socket s) { ::close(s); }
constexpr int kShutdownWrite = SHUT_WR;
constexpr int kShutdownBoth = SHUT_RDWR;
// A client that hangs up early must not end the test program with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

Socket toSocket(std::uintptr_t s) { return static_cast<Socket>(s); }

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kBlockSize = 256 * 1024;
constexpr int kPollMilliseconds = 100;
// Bounds on every wait, so that no loop of the server can run for ever.
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr auto kMaxStall = std::chrono::minutes(5);
constexpr int kSendTimeoutMilliseconds = 60 * 1000;

// Readable within `milliseconds` (or hung up, or failed).
bool waitReadable(Socket s, int milliseconds) {
#ifdef _WIN32
    WSAPOLLFD entry = {};
    entry.fd = s;
    entry.events = POLLRDNORM;
    return WSAPoll(&entry, 1, milliseconds) > 0;
#else
    pollfd entry = {};
    entry.fd = s;
    entry.events = POLLIN;
    return ::poll(&entry, 1, milliseconds) > 0;
#endif
}

bool sendAll(Socket s, const char* data, std::size_t size) {
    while (size > 0) {
        int chunk = static_cast<int>(std::min<std::size_t>(size, kBlockSize));
        int sent = ::send(s, data, chunk, kSendFlags);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool sendText(Socket s, const std::string& text) { return sendAll(s, text.data(), text.size()); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = foldCase(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The path of a request target, percent-decoded; false for a malformed escape
// or an encoded NUL.
bool decodePath(std::string_view target, std::string& path) {
    target = target.substr(0, target.find('?'));
    path.clear();
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] != '%') {
            path += target[i];
            continue;
        }
        if (i + 2 >= target.size()) return false;
        int high = hexValue(target[i + 1]), low = hexValue(target[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// The file below `root` that `path` names; false when the path would leave
// the root or names something that is not a plain path element.
bool fileBelow(const std::filesystem::path& root, const std::string& path, std::filesystem::path& file) {
    if (root.empty()) return false;
    file = root;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string element = path.substr(start, end - start);
        start = end + 1;
        if (element.empty()) continue;
        if (element == "." || element == ".." || element.find_first_of("\\:") != std::string::npos) return false;
        file /= toPath(utf8ToWide(element));
    }
    return true;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 206: return "Partial Content";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// Where the body comes from: bytes in memory or a file read block by block.
struct BodySource {
    std::string bytes;
    std::filesystem::path file;
    bool fromFile = false;
    std::uint64_t size = 0;
    std::uint64_t start = 0;  // the first byte sent (a range)
};

// The FIRST of "bytes=FIRST-" (a LAST after the dash is ignored).
bool rangeStart(std::string_view value, std::uint64_t& first) {
    if (!value.starts_with("bytes=")) return false;
    value.remove_prefix(6);
    std::size_t dash = value.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 19) return false;
    first = 0;
    for (char c : value.substr(0, dash)) {
        if (c < '0' || c > '9') return false;
        first = first * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

std::string SeenRequest::header(std::string_view name) const {
    std::size_t start = head.find("\r\n");
    while (start != std::string::npos && start + 2 < head.size()) {
        start += 2;
        std::size_t end = head.find("\r\n", start);
        std::string_view line(head.data() + start, (end == std::string::npos ? head.size() : end) - start);
        if (line.size() > name.size() && line[name.size()] == ':') {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i) same = same && foldCase(line[i]) == foldCase(name[i]);
            if (same) {
                std::string_view value = line.substr(name.size() + 1);
                while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
                return std::string(value);
            }
        }
        start = end;
    }
    return {};
}

struct HttpServer::Connection {
    std::uintptr_t socket = kNoSocket;
    std::thread thread;
    std::atomic<bool> finished{false};
};

HttpServer::HttpServer(std::filesystem::path root) : root_(std::move(root)), listener_(kNoSocket) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string& error, std::uint16_t port) {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "WSAStartup failed";
        return false;
    }
    socketsStarted_ = true;
#endif
    Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (static_cast<std::uintptr_t>(s) == kNoSocket) {
        error = "socket failed";
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(s, 64) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeSocket(s);
        error = "could not listen on 127.0.0.1";
        return false;
    }
    listener_ = static_cast<std::uintptr_t>(s);
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void HttpServer::stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != kNoSocket) {
        closeSocket(toSocket(listener_));
        listener_ = kNoSocket;
    }
    {
        // Wakes answers blocked in a send to a client that stopped reading.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& connection : connections_) {
            if (!connection->finished) ::shutdown(toSocket(connection->socket), kShutdownBoth);
        }
    }
    reapFinished(true);
#ifdef _WIN32
    if (socketsStarted_) WSACleanup();
#endif
    socketsStarted_ = false;
}

std::string HttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::wstring HttpServer::wideUrl(std::string_view path) const { return utf8ToWide(url(path)); }

void HttpServer::setRoute(const std::string& path, HttpRoute route) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = {std::move(route)};
}

void HttpServer::setRouteSequence(const std::string& path, std::vector<HttpRoute> routes) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::deque<HttpRoute>(routes.begin(), routes.end());
}

void HttpServer::clearRoutes() {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.clear();
}

std::vector<SeenRequest> HttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void HttpServer::reapFinished(bool all) {
    std::vector<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        if (connection->thread.joinable()) connection->thread.join();
    }
}

void HttpServer::acceptLoop() {
    Socket listener = toSocket(listener_);
    while (!stopping_) {
        reapFinished(false);
        if (!waitReadable(listener, kPollMilliseconds)) continue;
        Socket s = ::accept(listener, nullptr, nullptr);
        if (static_cast<std::uintptr_t>(s) == kNoSocket) continue;
        ++accepted_;
#ifdef _WIN32
        DWORD timeout = kSendTimeoutMilliseconds;
#else
        timeval timeout = {kSendTimeoutMilliseconds / 1000, 0};
#endif
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        auto connection = std::make_unique<Connection>();
        connection->socket = static_cast<std::uintptr_t>(s);
        Connection& ref = *connection;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(std::move(connection));
        ref.thread = std::thread([this, &ref] {
            serve(ref);
            // Closed under the lock, so that stop() never shuts down a
            // socket number that has been closed and handed out again.
            std::lock_guard<std::mutex> closing(mutex_);
            closeSocket(toSocket(ref.socket));
            ref.finished = true;
        });
    }
}

bool HttpServer::sleepUnlessStopping(std::chrono::milliseconds pause) const {
    // Waits in small steps so that stop() is not held up.
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + pause;
    while (!stopping_ && Clock::now() < until) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(kPollMilliseconds)));
    }
    return !stopping_;
}

void HttpServer::serve(Connection& connection) {
    std::string received;
    while (answer(connection.socket, received)) {
    }
}

// Answers one request; true when the connection stays open for the next.
bool HttpServer::answer(std::uintptr_t socket, std::string& received) {
    Socket s = toSocket(socket);
    using Clock = std::chrono::steady_clock;

    // The request head, up to the blank line; what follows it is the next
    // request's.
    std::string& head = received;
    auto deadline = Clock::now() + kRequestTimeout;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (stopping_ || Clock::now() > deadline || head.size() > kMaxRequestHead) return false;
        if (!waitReadable(s, kPollMilliseconds)) continue;
        char buffer[4096];
        int got = ::recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string rest = head.substr(head.find("\r\n\r\n") + 4);
    head.resize(head.find("\r\n\r\n"));

    SeenRequest seen;
    seen.head = head;
    std::string_view line(head.data(), std::min(head.find("\r\n"), head.size()));
    std::size_t space1 = line.find(' ');
    std::size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 != std::string_view::npos) {
        seen.method = std::string(line.substr(0, space1));
        seen.target = std::string(line.substr(space1 + 1, space2 - space1 - 1));
    }
    HttpRoute route;
    bool routed = false;
    std::string path;
    bool wellFormed = !seen.target.empty() && seen.target[0] == '/' && decodePath(seen.target, path);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(seen);
        if (wellFormed) {
            auto it = routes_.find(path);
            // A server that answers every path the same way (fallback pages).
            if (it == routes_.end()) it = routes_.find("*");
            if (it != routes_.end() && !it->second.empty()) {
                route = it->second.front();
                if (it->second.size() > 1) it->second.pop_front();
                routed = true;
            }
        }
    }

    BodySource body;
    if (!wellFormed) {
        route = HttpRoute{};
        route.status = 400;
        body.bytes = "bad request\n";
    } else if (seen.method != "GET") {
        route = HttpRoute{};
        route.status = 405;
        body.bytes = "only GET\n";
    } else if (route.body) {
        body.bytes = *route.body;
    } else {
        std::filesystem::path file;
        std::error_code ec;
        if (fileBelow(root_, path, file) && std::filesystem::is_regular_file(file, ec)) {
            body.fromFile = true;
            body.file = file;
            body.size = std::filesystem::file_size(file, ec);
            if (ec) body.size = 0;
        } else if (!routed) {
            route.status = 404;
            body.bytes = "not found\n";
        }
    }
    if (!body.fromFile) body.size = body.bytes.size();

    std::vector<std::string> extraHeaders = route.extraHeaders;
    if (!route.etag.empty()) extraHeaders.push_back("ETag: " + route.etag);
    if (!route.lastModified.empty()) extraHeaders.push_back("Last-Modified: " + route.lastModified);
    std::uint64_t first = 0;
    std::string ifRange = seen.header("If-Range");
    if (route.ranges && route.status == 200 && rangeStart(seen.header("Range"), first) &&
        (ifRange.empty() || ifRange == route.etag || ifRange == route.lastModified)) {
        if (first >= body.size) {
            route.status = 416;
            extraHeaders.push_back("Content-Range: bytes */" + std::to_string(body.size));
            body = BodySource{};
        } else {
            route.status = 206;
            extraHeaders.push_back("Content-Range: bytes " + std::to_string(first) + "-" +
                                   std::to_string(body.size - 1) + "/" + std::to_string(body.size));
            body.start = first;
            body.size -= first;
            if (!body.fromFile) body.bytes.erase(0, static_cast<std::size_t>(first));
        }
    }

    int status = route.status;
    bool noBody = (status >= 100 && status < 200) || status == 204 || status == 304;
    if (noBody) body = BodySource{};

    std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    // A body ended by the close, a stall or a cut cannot share its connection.
    const bool keep = keepAlive_ && route.framing != HttpRoute::Framing::close && !route.stallAfter && !route.cutAfter;
    if (!keep) response += "Connection: close\r\n";
    if (!noBody) {
        if (route.framing == HttpRoute::Framing::length) {
            response += "Content-Length: " + std::to_string(route.announcedLength.value_or(body.size)) + "\r\n";
        } else if (route.framing == HttpRoute::Framing::chunked) {
            response += "Transfer-Encoding: chunked\r\n";
        }
        response += "Content-Type: application/octet-stream\r\n";
    }
    if (!route.location.empty()) response += "Location: " + route.location + "\r\n";
    for (const std::string& extra : extraHeaders) response += extra + "\r\n";
    response += "\r\n";
    if (route.headerByteInterval.count() > 0) {
        for (std::size_t i = 0; i < response.size(); ++i) {
            if (!sleepUnlessStopping(route.headerByteInterval) || !sendAll(s, &response[i], 1)) return false;
        }
    } else if (!sendText(s, response)) {
        return false;
    }

    // The body, block by block, stopping where a stall was asked for.
    std::uint64_t limit = route.stallAfter ? std::min(*route.stallAfter, body.size) : body.size;
    if (route.cutAfter) limit = std::min(limit, *route.cutAfter);
    bool chunked = route.framing == HttpRoute::Framing::chunked && !noBody;
    std::ifstream in;
    if (body.fromFile) {
        in.open(body.file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(body.start));
    }
    std::size_t piece = route.dripBytes > 0 ? std::min(route.dripBytes, kBlockSize) : kBlockSize;
    std::vector<char> block(kBlockSize);
    std::uint64_t sent = 0;
    while (sent < limit && !stopping_) {
        if (sent > 0 && route.dripBytes > 0) sleepUnlessStopping(route.dripInterval);
        std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit - sent));
        const char* data;
        if (body.fromFile) {
            in.read(block.data(), static_cast<std::streamsize>(size));
            if (static_cast<std::size_t>(in.gcount()) != size) return false;
            data = block.data();
        } else {
            data = body.bytes.data() + sent;
        }
        if (chunked) {
            char prefix[32];
            std::snprintf(prefix, sizeof(prefix), "%zx\r\n", size);
            if (!sendText(s, prefix)) return false;
        }
        if (!sendAll(s, data, size)) return false;
        if (chunked && !sendText(s, "\r\n")) return false;
        sent += size;
    }

    if (route.stallAfter) {
        // Hold the connection until the client hangs up or the server stops.
        auto until = Clock::now() + kMaxStall;
        while (!stopping_ && Clock::now() < until) {
            if (!waitReadable(s, kPollMilliseconds)) continue;
            char buffer[512];
            if (::recv(s, buffer, sizeof(buffer), 0) <= 0) break;
        }
        return false;
    }
    if (route.cutAfter && sent < body.size) {
        // Cut short: the client sees the connection end mid-body.
        ::shutdown(s, kShutdownBoth);
        return false;
    }
    if (chunked && !sendText(s, "0\r\n\r\n")) return false;
    if (keep && !route.closeAfter) {
        received = rest;
        return true;
    }

    // Close gently: end our side, then let the client read everything before
    // the socket goes, so that it sees the end of the data and not a reset.
    ::shutdown(s, kShutdownWrite);
    auto lingerUntil = Clock::now() + kLingerTimeout;
    while (!stopping_ && Clock::now() < lingerUntil) {
        if (!waitReadable(s, kPollMilliseconds)) continue;
        char buffer[512];
        if (::recv(s, buffer, sizeof(buffer), 0) <= 0) break;
    }
    return false;
}

}  // namespace kiv

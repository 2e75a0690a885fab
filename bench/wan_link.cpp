// A player's link on the loopback interface, for scripts/bench-wan: a TCP
// proxy on 127.0.0.1 that holds every byte for half the round trip in each
// direction, makes each new connection wait one round trip before its first
// byte travels (the handshake a real link costs), and sends everything that
// goes downstream through one shared link of the given rate, the connections
// taking turns. Upstream only the delay applies.
//
//   wan_link --rtt-ms MS --rate-mbit MBIT (--forward PORT | --connect)
//            [--port N] [--max-seconds S]
//
// With --forward every connection is carried to 127.0.0.1:PORT (a server
// behind the link); with --connect the link is a forward proxy that answers
// "CONNECT 127.0.0.1:PORT" (or localhost) and then carries the tunnel, the
// proxy's own request and answer crossing the link too. It prints the port
// it listens on, then runs until SIGTERM or SIGINT, or for at most S seconds
// (default 3600), and prints what it carried: "connections N" (accepted),
// "down-bytes N" and "up-bytes N".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Nanos = std::int64_t;

Nanos now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What the link takes from one connection at a turn; small enough that
// connections sharing the link interleave finely, as packets would.
constexpr std::size_t kQuantum = 4096;
// Bytes read from the server that wait for the link. Once a connection has
// this much waiting the proxy stops reading from its server, so that the
// server feels the link's rate as a real sender would.
constexpr std::size_t kWaitingCap = 64 * 1024;
// Bytes on their way (delayed, not yet delivered) per direction and
// connection before the proxy stops taking more: a receiver that does not
// read must hold back its sender here too, not fill the proxy's memory.
constexpr std::size_t kInFlightCap = 8 * 1024 * 1024;
constexpr std::size_t kRequestCap = 8 * 1024;

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

struct Piece {
    Nanos due = 0;
    std::string bytes;
    std::size_t offset = 0;
    bool end = false;  // the sender's end of stream, passed on once due
};

// One direction's bytes on their way: delivered to `fd` in order, each
// piece once it is due.
struct Lane {
    std::deque<Piece> pieces;
    std::size_t bytes = 0;
    bool blocked = false;  // the receiver's socket is full; wait until writable
    bool ended = false;    // the end of stream has been passed on

    void push(Nanos due, std::string bytes_, bool end = false) {
        bytes += bytes_.size();
        pieces.push_back(Piece{due, std::move(bytes_), 0, end});
    }
};

struct Connection {
    int client = -1;
    int server = -1;
    Nanos accepted = 0;
    bool serverConnecting = false;
    bool clientEnded = false;  // the client sent its end of stream
    bool serverEnded = false;
    bool failed = false;
    // --connect: the proxy request as it arrives across the link, until the
    // tunnel is open.
    bool tunnelOpen = false;
    std::string request;
    Lane up;              // client to server
    std::string waiting;  // from the server, waiting for the link
    Lane down;            // server to client, on the link or past it
};

struct Link {
    Nanos halfTrip = 0;
    Nanos roundTrip = 0;
    double bitsPerNano = 0;
    int forwardPort = 0;  // 0: forward proxy (--connect)
    Nanos free = 0;       // when the link has sent everything given to it
    bool busy = false;
    std::size_t turn = 0;
    std::uint64_t accepted = 0, downBytes = 0, upBytes = 0;
    std::vector<std::unique_ptr<Connection>> connections;
};

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool connectServer(Connection& c, int port) {
    c.server = socket(AF_INET, SOCK_STREAM, 0);
    if (c.server < 0) return false;
    setNonBlocking(c.server);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(c.server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    if (errno != EINPROGRESS) return false;
    c.serverConnecting = true;
    return true;
}

constexpr const char* kTunnelOpen = "HTTP/1.1 200 Connection established\r\n\r\n";

// Answers a proxy request with `status` and ends the connection once the
// answer has crossed the link.
void refuseTunnel(Connection& c, const char* status) {
    c.waiting += std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (c.server >= 0) close(c.server);
    c.server = -1;
    c.serverConnecting = false;
    c.serverEnded = true;
}

// The proxy request ("CONNECT host:port HTTP/1.1" and headers) once it has
// crossed the link: opens the tunnel to a loopback port and answers across
// the link. Anything else is refused; the proxy never leaves this machine.
void openTunnel(Connection& c) {
    const std::size_t end = c.request.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (c.request.size() > kRequestCap) c.failed = true;
        return;
    }
    const std::string line = c.request.substr(0, c.request.find("\r\n"));
    std::string rest = c.request.substr(end + 4);
    char host[256] = {};
    int port = 0;
    const bool known = std::sscanf(line.c_str(), "CONNECT %255[^:]:%d HTTP/1.", host, &port) == 2 &&
                       (std::strcmp(host, "127.0.0.1") == 0 || std::strcmp(host, "localhost") == 0) && port > 0 &&
                       port < 65536;
    c.tunnelOpen = true;
    c.request.clear();
    if (!known) {
        refuseTunnel(c, "403 Forbidden");
        return;
    }
    if (!connectServer(c, port)) {
        refuseTunnel(c, "502 Bad Gateway");
        return;
    }
    if (!c.serverConnecting) c.waiting += kTunnelOpen;
    // Bytes the client sent right behind its request go on to the server.
    if (!rest.empty()) {
        c.up.bytes += rest.size();
        c.up.pieces.push_front(Piece{0, std::move(rest), 0, false});
    }
}

// Hands the link its next turns: each connection with bytes waiting gives
// up to kQuantum, in rotation, as long as the link has sent what it had by
// now; each piece arrives half a round trip after the link sent its end.
void feedLink(Link& link, Nanos t) {
    if (!link.busy) link.free = std::max(link.free, t);
    while (link.free <= t) {
        Connection* next = nullptr;
        const std::size_t count = link.connections.size();
        for (std::size_t i = 0; i < count && !next; ++i) {
            Connection& c = *link.connections[(link.turn + i) % count];
            if (!c.waiting.empty() && c.down.bytes < kInFlightCap) {
                next = &c;
                link.turn = (link.turn + i + 1) % count;
            }
        }
        if (!next) break;
        const std::size_t size = std::min(kQuantum, next->waiting.size());
        link.free += static_cast<Nanos>(static_cast<double>(size) * 8 / link.bitsPerNano);
        next->down.push(link.free + link.halfTrip, next->waiting.substr(0, size));
        next->waiting.erase(0, size);
        link.downBytes += size;
    }
    link.busy = false;
    for (const auto& c : link.connections) {
        if (!c->waiting.empty() && c->down.bytes < kInFlightCap) link.busy = true;
    }
}

// Writes the pieces of `lane` that are due to `fd`; passes the end of
// stream on once every byte before it is out.
void deliver(Lane& lane, int fd, Nanos t, bool& failed) {
    lane.blocked = false;
    while (!lane.pieces.empty() && lane.pieces.front().due <= t) {
        Piece& piece = lane.pieces.front();
        if (piece.end) {
            shutdown(fd, SHUT_WR);
            lane.ended = true;
            lane.pieces.pop_front();
            continue;
        }
        while (piece.offset < piece.bytes.size()) {
            const ssize_t n =
                send(fd, piece.bytes.data() + piece.offset, piece.bytes.size() - piece.offset, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    lane.blocked = true;
                    return;
                }
                if (errno == EINTR) continue;
                failed = true;
                return;
            }
            piece.offset += static_cast<std::size_t>(n);
            lane.bytes -= static_cast<std::size_t>(n);
        }
        lane.pieces.pop_front();
    }
}

// Moves what is due on both lanes of a connection.
void deliverBoth(Link& link, Connection& c, Nanos t) {
    if (!c.tunnelOpen && !link.forwardPort) {
        // The proxy request is read here, as it arrives across the link.
        while (!c.up.pieces.empty() && c.up.pieces.front().due <= t && !c.tunnelOpen && !c.failed) {
            Piece piece = std::move(c.up.pieces.front());
            c.up.pieces.pop_front();
            c.up.bytes -= piece.bytes.size();
            if (piece.end) {
                c.failed = true;
                return;
            }
            c.request += piece.bytes;
            openTunnel(c);
        }
    }
    if (c.server >= 0 && !c.serverConnecting && (c.tunnelOpen || link.forwardPort)) {
        deliver(c.up, c.server, t, c.failed);
    }
    deliver(c.down, c.client, t, c.failed);
}

// When the next piece of the lane is due, or -1 when the lane waits for its
// receiver or has nothing.
Nanos nextDue(const Lane& lane) { return lane.pieces.empty() || lane.blocked ? -1 : lane.pieces.front().due; }

// Reads what a socket has, up to `room` bytes; false at the end of stream.
bool readSome(int fd, std::size_t room, std::string& into, bool& failed) {
    char buffer[64 * 1024];
    const ssize_t n = recv(fd, buffer, std::min(room, sizeof buffer), 0);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n < 0) failed = true;
    return false;
}

int listenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 512) != 0) {
        return -1;
    }
    setNonBlocking(fd);
    return fd;
}

int usage() {
    std::fprintf(stderr,
                 "usage: wan_link --rtt-ms MS --rate-mbit MBIT (--forward PORT | --connect) [--port N] "
                 "[--max-seconds S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double rttMs = -1, rateMbit = -1, maxSeconds = 3600;
    int forwardPort = -1, port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--connect") {
            forwardPort = 0;
            continue;
        }
        if (!value) return usage();
        ++i;
        if (arg == "--rtt-ms")
            rttMs = std::atof(value);
        else if (arg == "--rate-mbit")
            rateMbit = std::atof(value);
        else if (arg == "--forward")
            forwardPort = std::atoi(value);
        else if (arg == "--port")
            port = std::atoi(value);
        else if (arg == "--max-seconds")
            maxSeconds = std::atof(value);
        else
            return usage();
    }
    if (rttMs < 0 || rateMbit <= 0 || forwardPort < 0 || forwardPort > 65535 || maxSeconds <= 0) return usage();

    Link link;
    link.roundTrip = static_cast<Nanos>(rttMs * 1e6);
    link.halfTrip = link.roundTrip / 2;
    link.bitsPerNano = rateMbit * 1e6 / 1e9;
    link.forwardPort = forwardPort;

    const int listener = listenOn(port);
    if (listener < 0) {
        std::perror("wan_link: listen");
        return 1;
    }
    sockaddr_in bound{};
    socklen_t boundSize = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &boundSize);
    std::printf("%d\n", ntohs(bound.sin_port));
    std::fflush(stdout);

    // The stop signals are taken only while waiting, so that a stop never
    // cuts a step in two.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const Nanos deadline = now() + static_cast<Nanos>(maxSeconds * 1e9);
    std::vector<pollfd> fds;
    // What each pollfd stands for: the connection's index and which side.
    std::vector<std::pair<std::size_t, bool>> owners;
    while (!stopRequested) {
        Nanos t = now();
        if (t >= deadline) break;
        for (auto& c : link.connections) {
            deliverBoth(link, *c, t);
            // An end of stream follows the last byte before it.
            if (c->serverEnded && c->waiting.empty() && !c->down.ended &&
                (c->down.pieces.empty() || !c->down.pieces.back().end)) {
                const Nanos last = c->down.pieces.empty() ? 0 : c->down.pieces.back().due;
                c->down.push(std::max(t + link.halfTrip, last), {}, true);
            }
        }
        // After the deliveries, which may have put a proxy's answer on the way.
        feedLink(link, t);
        std::erase_if(link.connections, [](const std::unique_ptr<Connection>& c) {
            // A refused proxy request has no server to pass the client's
            // end to: the refusal delivered ends it.
            const bool done = c->failed || (c->up.ended && c->down.ended) || (c->server < 0 && c->down.ended);
            if (done) {
                close(c->client);
                if (c->server >= 0) close(c->server);
            }
            return done;
        });

        fds.assign(1, pollfd{listener, POLLIN, 0});
        owners.assign(1, {0, false});
        Nanos wake = deadline;
        if (link.busy) wake = std::min(wake, link.free);
        for (std::size_t i = 0; i < link.connections.size(); ++i) {
            Connection& c = *link.connections[i];
            short clientEvents = 0, serverEvents = 0;
            if (!c.clientEnded && c.up.bytes < kInFlightCap) clientEvents |= POLLIN;
            if (c.down.blocked) clientEvents |= POLLOUT;
            if (c.server >= 0) {
                if (c.serverConnecting || c.up.blocked) serverEvents |= POLLOUT;
                if (!c.serverConnecting && !c.serverEnded && c.waiting.size() < kWaitingCap) serverEvents |= POLLIN;
            }
            for (const Lane* lane : {&c.up, &c.down}) {
                const Nanos due = nextDue(*lane);
                if (due >= 0) wake = std::min(wake, due);
            }
            fds.push_back(pollfd{c.client, clientEvents, 0});
            owners.push_back({i, false});
            if (c.server >= 0) {
                fds.push_back(pollfd{c.server, serverEvents, 0});
                owners.push_back({i, true});
            }
        }
        const Nanos wait = std::max<Nanos>(0, wake - t);
        const timespec timeout{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, &waitMask) <= 0) continue;

        t = now();
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const int client = accept(listener, nullptr, nullptr);
                if (client < 0) break;
                setNonBlocking(client);
                auto c = std::make_unique<Connection>();
                c->client = client;
                c->accepted = t;
                ++link.accepted;
                if (link.forwardPort && !connectServer(*c, link.forwardPort)) c->failed = true;
                link.connections.push_back(std::move(c));
            }
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            Connection& c = *link.connections[owners[k].first];
            if (owners[k].second) {
                if (c.serverConnecting) {
                    int error = 0;
                    socklen_t size = sizeof error;
                    getsockopt(c.server, SOL_SOCKET, SO_ERROR, &error, &size);
                    c.serverConnecting = false;
                    if (link.forwardPort) {
                        c.failed = error != 0;
                    } else if (error) {
                        refuseTunnel(c, "502 Bad Gateway");
                    } else {
                        c.waiting += kTunnelOpen;
                    }
                    continue;
                }
            }
            // A reset, or a socket shut both ways before its lane is done:
            // nothing more can cross it.
            const bool ended = owners[k].second ? c.serverEnded : c.clientEnded;
            if ((fds[k].revents & POLLERR) || ((fds[k].revents & POLLHUP) && ended)) {
                if (!(c.up.ended && c.down.ended)) c.failed = true;
                continue;
            }
            if (owners[k].second) {
                if (!c.serverEnded && (fds[k].revents & (POLLIN | POLLHUP))) {
                    const std::size_t before = c.waiting.size();
                    if (!readSome(c.server, kWaitingCap - std::min(kWaitingCap, before), c.waiting, c.failed)) {
                        c.serverEnded = true;
                    }
                }
            } else if (!c.clientEnded && (fds[k].revents & (POLLIN | POLLHUP))) {
                // Nothing travels before the connection's handshake has
                // taken its round trip.
                std::string bytes;
                const bool open = readSome(c.client, 64 * 1024, bytes, c.failed);
                const Nanos due = std::max(t, c.accepted + link.roundTrip) + link.halfTrip;
                link.upBytes += bytes.size();
                if (!bytes.empty()) c.up.push(due, std::move(bytes));
                if (!open && !c.failed) {
                    c.clientEnded = true;
                    c.up.push(due, {}, true);
                }
            }
        }
    }
    std::printf("connections %llu\ndown-bytes %llu\nup-bytes %llu\n", static_cast<unsigned long long>(link.accepted),
                static_cast<unsigned long long>(link.downBytes), static_cast<unsigned long long>(link.upBytes));
    return 0;
}

// Downloads one large file from a loopback server with httpGetToFile and with
// the curl command line against the same server, and prints our throughput as
// a share of curl's. The two alternate for several rounds, each starting with
// the disk's dirty pages written back, and the medians are compared, so that
// writeback and other load on the machine fall on both alike. With --wine
// COMMAND, `COMMAND fetch URL FILE` (kivtool.exe, WinHTTP under Wine) is timed
// too, for information; its figure includes Wine's start-up. A third
// downloader is httpGetToFile as the update run calls it for a file named in
// a release manifest: capped at its size and hashed while written; its time
// beside the plain transfer's is the cost of the check (with the hashing on
// a thread of its own, as the update run does it). A fourth download in each
// round is cut by the server at half way and resumed with a ranged retry at
// once (no wait), to show what one resumption costs against an uninterrupted
// transfer.
#include "base/base.h"
#include "net/http.h"
#include "patch/crypto.h"
#include "update/update.h"
#include "tools/loopback_server/loopback_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kFileSize = 256ull << 20;
using Clock = std::chrono::steady_clock;

bool writeBigFile(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + (i >> 9));
    for (std::uint64_t written = 0; written < kFileSize; written += block.size()) {
        block[0] = static_cast<char>(written >> 20);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return static_cast<bool>(out);
}

// Seconds one download takes, or a negative number when it failed or left a
// file of the wrong size.
double timeDownload(const std::function<bool()>& download, const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    ::sync();
    auto start = Clock::now();
    bool ok = download();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok || std::filesystem::file_size(file, ec) != kFileSize) return -1;
    std::filesystem::remove(file, ec);
    return seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double mibPerSecond(double seconds) { return seconds > 0 ? (kFileSize / 1048576.0) / seconds : 0; }

}  // namespace

int main(int argc, char** argv) {
    std::string wineCommand;
    int rounds = 5;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--wine" && i + 1 < argc) {
            wineCommand = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: http_bench [--rounds N] [--wine COMMAND]\n");
            return 2;
        }
    }

    auto directory = std::filesystem::temp_directory_path() / ("kiv-http-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory / "served");
    if (!writeBigFile(directory / "served" / "big.bin")) {
        std::fprintf(stderr, "could not write the served file\n");
        return 1;
    }
    std::error_code linkError;
    std::filesystem::create_hard_link(directory / "served" / "big.bin", directory / "served" / "resumed.bin",
                                      linkError);
    if (linkError) std::filesystem::copy_file(directory / "served" / "big.bin", directory / "served" / "resumed.bin");
    kiv::HttpServer server(directory / "served");
    std::string problem;
    if (!server.start(problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    std::wstring url = server.wideUrl("/big.bin");
    auto file = directory / "download.bin";

    std::uint64_t largestChunk = 0;
    std::wstring error;
    auto ours = [&] {
        std::uint64_t previous = 0;
        return kiv::httpGetToFile(
            url, file,
            [&](std::uint64_t received, std::uint64_t) {
                largestChunk = std::max(largestChunk, received - previous);
                previous = received;
            },
            error);
    };
    kiv::TransferHasher hasher;
    kiv::crypto::Sha256Digest expected{}, digest{};
    std::uint64_t hashed = 0;
    double hashSeconds = 0;
    {
        const auto start = Clock::now();
        kiv::crypto::Sha256 whole;
        std::ifstream in(directory / "served" / "big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
            whole.update(block.data(), static_cast<std::size_t>(in.gcount()));
        }
        whole.finish(expected);
        hashSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    auto checked = [&] {
        return kiv::httpGetToFile(url, file, {}, error, {.maxBytes = kFileSize, .observer = &hasher}) &&
               hasher.finish(digest, hashed) && hashed == kFileSize && digest == expected;
    };
    kiv::TransferOptions resumeAtOnce;
    resumeAtOnce.retryDelays = {};
    int resumedRequests = 0;
    auto resumed = [&] {
        kiv::HttpRoute whole;
        whole.etag = "\"big\"";
        whole.ranges = true;
        kiv::HttpRoute cut = whole;
        cut.cutAfter = kFileSize / 2;
        server.setRouteSequence("/resumed.bin", {cut, whole});
        std::size_t before = server.requests().size();
        bool ok = kiv::httpGetToFile(server.wideUrl("/resumed.bin"), file, {}, error, resumeAtOnce);
        resumedRequests = static_cast<int>(server.requests().size() - before);
        return ok;
    };
    std::string curlCommand = "curl -s -f --noproxy '*' -o '" + file.string() + "' " + server.url("/big.bin");
    auto curl = [&] { return std::system(curlCommand.c_str()) == 0; };
    std::string wine = wineCommand + " fetch " + server.url("/big.bin") + " 'Z:" + file.string() + "' 2>/dev/null";
    auto underWine = [&] { return std::system(wine.c_str()) == 0; };

    std::vector<double> oursTimes, curlTimes, wineTimes, checkedTimes, resumedTimes;
    bool failed = false;
    for (int round = 0; round < rounds && !failed; ++round) {
        double a = timeDownload(ours, file);
        double b = timeDownload(curl, file);
        double c = timeDownload(checked, file);
        double d = timeDownload(resumed, file);
        std::printf(
            "round %d: httpGetToFile %.0f MiB/s, curl %.0f MiB/s, with manifest check %.0f MiB/s, "
            "resumed once %.0f MiB/s\n",
            round + 1, mibPerSecond(a), mibPerSecond(b), mibPerSecond(c), mibPerSecond(d));
        std::fflush(stdout);
        checkedTimes.push_back(c);
        resumedTimes.push_back(d);
        if (a < 0 || b < 0 || c < 0 || d < 0 || resumedRequests != 2) {
            std::fprintf(stderr, "a download failed: %s\n", kiv::wideToUtf8(error).c_str());
            failed = true;
        }
        oursTimes.push_back(a);
        curlTimes.push_back(b);
    }
    if (!failed && !wineCommand.empty()) {
        for (int round = 0; round < 2; ++round) wineTimes.push_back(timeDownload(underWine, file));
    }
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    if (failed) return 1;

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    double oursRate = mibPerSecond(median(oursTimes)), curlRate = mibPerSecond(median(curlTimes));
    std::printf("\n%llu MiB over 127.0.0.1, median of %d alternating rounds\n",
                static_cast<unsigned long long>(kFileSize >> 20), rounds);
    std::printf(
        "largest chunk handed to httpGetToFile: %llu bytes; peak resident memory of this process "
        "(server included): %.1f MiB\n",
        static_cast<unsigned long long>(largestChunk), usage.ru_maxrss / 1024.0);
    std::printf("httpGetToFile %.0f MiB/s, curl %.0f MiB/s: ratio %.2f (target at least 0.90)\n", oursRate, curlRate,
                oursRate / curlRate);
    const double checkedRate = mibPerSecond(median(checkedTimes));
    std::printf(
        "with a manifest (capped, SHA-256 while writing) %.0f MiB/s: the check costs %.1f%% of the transfer "
        "time (target at most 10%%)\n",
        checkedRate, (median(checkedTimes) / median(oursTimes) - 1) * 100);
    // A transfer faster than the hash itself is bound by the hash, however
    // the two overlap.
    std::printf("SHA-256 alone on this machine (the served file, from the page cache): %.0f MiB/s\n",
                mibPerSecond(hashSeconds));
    // On a machine whose cores are taken by other work the hashing thread
    // waits its turn; the best rounds show the cost when a core is free.
    const double bestChecked = *std::min_element(checkedTimes.begin(), checkedTimes.end());
    const double bestOurs = *std::min_element(oursTimes.begin(), oursTimes.end());
    std::printf("best rounds: %.0f MiB/s without, %.0f MiB/s with the check: %.1f%%\n", mibPerSecond(bestOurs),
                mibPerSecond(bestChecked), (bestChecked / bestOurs - 1) * 100);
    double uninterrupted = median(oursTimes), once = median(resumedTimes);
    std::printf(
        "one transfer cut at half and resumed with a ranged request: %.3f s against %.3f s "
        "uninterrupted (%+.1f %%), plus the retry's wait (1 s in the launcher)\n",
        once, uninterrupted, (once / uninterrupted - 1) * 100);
    if (!wineTimes.empty()) {
        double wineRate = mibPerSecond(median(wineTimes));
        if (*std::min_element(wineTimes.begin(), wineTimes.end()) < 0) {
            std::printf("kivtool fetch under Wine failed\n");
        } else {
            std::printf("WinHTTP under Wine (kivtool fetch, Wine start-up included): %.0f MiB/s, %.2f of curl\n",
                        wineRate, wineRate / curlRate);
        }
    }
    return 0;
}

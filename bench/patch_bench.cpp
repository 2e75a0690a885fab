// Patch reading and application at the sizes the launcher meets. Run through
// scripts/bench-patch, which prepares the large input files, measures the
// command-line references on the same bytes and runs each case in a process
// of its own so that the peak memory reported belongs to that case alone.
//
// Inputs from KIV_BENCH_DIR: tiny.cab (one segment: the fixed cost of the key
// derivation), large.cab (256 MiB legacy patch), large.npatch (256 MiB
// package). The application cases make their own archives and patches.
#include "patch/patch.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using kiv::PatchSet;

std::filesystem::path inputDirectory() {
    const char* directory = std::getenv("KIV_BENCH_DIR");
    if (directory == nullptr) throw std::runtime_error("KIV_BENCH_DIR is not set (run scripts/bench-patch)");
    return directory;
}

void reportPeakMemory(benchmark::State& state) {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::string le32(std::uint32_t value) {
    std::string out(4, '\0');
    kiv::storeLe32(reinterpret_cast<std::uint8_t*>(out.data()), value);
    return out;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("could not write " + path.string());
}

// A pair whose items all hold `size` bytes, with an unpacked filename block.
void writeArchive(const std::filesystem::path& hedPath, const std::vector<std::string>& names, std::uint32_t size) {
    std::string headers;
    std::string block = le32(static_cast<std::uint32_t>(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        headers += le32(static_cast<std::uint32_t>(i * size)) + le32(size) + le32(size);
        block += names[i];
        block += '\0';
    }
    const std::uint64_t dataSize = static_cast<std::uint64_t>(names.size()) * size;
    writeBytes(hedPath, le32(static_cast<std::uint32_t>(dataSize)) + le32(static_cast<std::uint32_t>(block.size())) +
                            le32(static_cast<std::uint32_t>(block.size())) + headers);
    std::filesystem::path datPath = hedPath;
    datPath.replace_extension(".dat");
    std::ofstream dat(datPath, std::ios::binary | std::ios::trunc);
    const std::string filler(1 << 20, 'o');
    for (std::uint64_t left = dataSize; left > 0;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, filler.size()));
        dat.write(filler.data(), static_cast<std::streamsize>(piece));
        left -= piece;
    }
    dat.write(block.data(), static_cast<std::streamsize>(block.size()));
    if (!dat) throw std::runtime_error("could not write " + datPath.string());
}

void BM_LegacyKeyDerivation(benchmark::State& state) {
    const auto path = inputDirectory() / "tiny.cab";
    for (auto _ : state) {
        std::vector<std::uint8_t> plaintext;
        std::wstring error;
        if (!kiv::decryptLegacyPatch(path, plaintext, error)) state.SkipWithError("tiny.cab did not decrypt");
        benchmark::DoNotOptimize(plaintext.data());
    }
    reportPeakMemory(state);
}
BENCHMARK(BM_LegacyKeyDerivation)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_DecryptLegacy256MiB(benchmark::State& state) {
    const auto path = inputDirectory() / "large.cab";
    const auto size = std::filesystem::file_size(path);
    for (auto _ : state) {
        std::vector<std::uint8_t> plaintext;
        std::wstring error;
        if (!kiv::decryptLegacyPatch(path, plaintext, error)) state.SkipWithError("large.cab did not decrypt");
        benchmark::DoNotOptimize(plaintext.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (size - 32)));
    reportPeakMemory(state);
}
BENCHMARK(BM_DecryptLegacy256MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ReadPackage256MiB(benchmark::State& state) {
    const auto path = inputDirectory() / "large.npatch";
    const auto size = std::filesystem::file_size(path);
    for (auto _ : state) {
        PatchSet set;
        std::wstring error;
        if (!kiv::readPatchPackage(path, set, error)) state.SkipWithError("large.npatch did not read");
        benchmark::DoNotOptimize(set.entries.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    reportPeakMemory(state);
}
BENCHMARK(BM_ReadPackage256MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

// Replaces every item of an archive through one package; each iteration
// starts from a fresh archive so that the .dat does not keep growing.
void applyCase(benchmark::State& state, std::uint32_t count, std::uint32_t size) {
    const auto root = inputDirectory() / ("apply-" + std::to_string(count) + "x" + std::to_string(size));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "install" / "data");
    std::filesystem::create_directories(root / "patches");
    std::vector<std::string> names;
    PatchSet set{L"data\\bench.hed", {}};
    for (std::uint32_t i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "item%05u.bin", i);
        names.emplace_back(name);
        set.entries.push_back({name, std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(i))});
    }
    std::wstring error;
    if (!kiv::writePatchPackage(root / "patches" / "bench.npatch", set, error)) throw std::runtime_error("package");
    set = {};

    for (auto _ : state) {
        state.PauseTiming();
        writeArchive(root / "install" / "data" / "bench.hed", names, size);
        state.ResumeTiming();
        if (!kiv::applyPatches(root / "install", root / "patches", {}, error)) {
            state.SkipWithError("apply failed");
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * count * size);
    state.counters["items"] = count;
    reportPeakMemory(state);
    std::filesystem::remove_all(root);
}

void BM_ApplyTenThousandSmallItems(benchmark::State& state) { applyCase(state, 10000, 1024); }
BENCHMARK(BM_ApplyTenThousandSmallItems)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ApplyFourItemsOf64MiB(benchmark::State& state) { applyCase(state, 4, 64u << 20); }
BENCHMARK(BM_ApplyFourItemsOf64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();

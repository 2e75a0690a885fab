// Archive store benchmarks:
//   - unpacking a 4 MiB filename block, beside the system's LZW decompressor
//     (`uncompress`) on the same block, measured in the same run;
//   - opening a pair of 200,000 items;
//   - replacing 10,000 existing small items, with and without the flushes
//     that order the writes, and adding 1,000 items to a 100,000-item pair,
//     with the bytes each writes.
// Scratch files go to the temporary directory, on disk, so that the flushes
// cost what they cost for a player.
#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using kiv::ArchivePair;
using kiv::File;
using kiv::ItemReplacement;

std::filesystem::path scratch() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() / ("kiv-archive-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

void writeBytes(const std::filesystem::path& path, const void* data, std::size_t size) {
    File file;
    if (!file.open(path, File::Mode::create) || !file.writeAt(0, data, size)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// Bytes this process has handed to write calls so far.
std::uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") return value;
    }
    return 0;
}

std::vector<std::string> itemNames(std::size_t count, std::uint32_t seed) {
    static const char* const folders[] = {"data\\",
                                          "data\\map\\",
                                          "data\\sprite\\monster\\",
                                          "data\\sound\\bgm\\",
                                          "data\\texture\\effect\\",
                                          "data\\model\\prop\\",
                                          "ui\\login\\"};
    static const char* const suffixes[] = {".tga", ".bmp", ".spr", ".act", ".wav", ".gat", ".rsw", ".txt"};
    std::mt19937 random(seed);
    std::vector<std::string> names;
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = folders[random() % 7];
        const int length = 4 + static_cast<int>(random() % 14);
        for (int k = 0; k < length; ++k) name.push_back(static_cast<char>('a' + random() % 26));
        name += "_" + std::to_string(i) + suffixes[random() % 8];
        names.push_back(std::move(name));
    }
    return names;
}

// Names built from a vocabulary of made-up words in a few dozen folders: more
// repetitive than random letters, as a game's file names are.
std::vector<std::string> vocabularyNames(std::size_t count, std::uint32_t seed) {
    static const char* const syllables[] = {"ka",  "ro",  "mi",  "tal", "zen", "bor", "lu", "fa",
                                            "dra", "gon", "el",  "wi",  "nd",  "sto", "ne", "ar",
                                            "mor", "shi", "eld", "po",  "ti",  "on",  "ve", "ra"};
    static const char* const top[] = {"data\\",        "data\\texture\\", "data\\sprite\\",
                                      "data\\model\\", "data\\wav\\",     "data\\map\\"};
    static const char* const suffixes[] = {".tga", ".bmp", ".spr", ".act", ".wav", ".gat", ".rsw", ".txt"};
    std::mt19937 random(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 400; ++i) {
        std::string word;
        const int parts = 2 + static_cast<int>(random() % 3);
        for (int k = 0; k < parts; ++k) word += syllables[random() % 24];
        words.push_back(word);
    }
    std::vector<std::string> folders;
    for (int i = 0; i < 60; ++i) folders.push_back(std::string(top[random() % 6]) + words[random() % 400] + "\\");
    std::vector<std::string> names;
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = folders[random() % 60] + words[random() % 400];
        if (random() % 2) name += "_" + words[random() % 400];
        if (random() % 3 == 0) name += std::to_string(random() % 100);
        names.push_back(name + suffixes[random() % 8]);
    }
    return names;
}

// Short numbered names ("data\\0001234.bin"), so that a thousand additions to
// a 100,000-item pair, each appending the whole block anew, stay within the
// 2 GiB where a block may start.
std::vector<std::string> numberedNames(std::size_t count, std::size_t first) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) {
        std::string number = std::to_string(first + i);
        names.push_back("data\\" + std::string(7 - std::min<std::size_t>(7, number.size()), '0') + number + ".bin");
    }
    return names;
}

// A pair of `count` items, each holding `itemSize` bytes; the filename block
// stored as it is or packed.
void writePair(const std::filesystem::path& hed, const std::vector<std::string>& names, std::size_t itemSize,
               bool packed) {
    std::vector<std::uint8_t> dat(16, 0);
    std::string hedBytes;
    std::vector<kiv::test::HeaderWords> headers;
    for (std::size_t i = 0; i < names.size(); ++i) {
        headers.push_back({static_cast<std::uint32_t>(dat.size()), static_cast<std::uint32_t>(itemSize),
                           static_cast<std::uint32_t>(itemSize)});
        dat.insert(dat.end(), itemSize, static_cast<std::uint8_t>(i));
    }
    const auto block = kiv::test::buildFilenameBlock(names);
    const auto stored = packed ? kiv::test::packFilenameBlock(block) : block;
    const auto offset = static_cast<std::uint32_t>(dat.size());
    dat.insert(dat.end(), stored.begin(), stored.end());
    std::filesystem::path datPath = hed;
    datPath.replace_extension(".dat");
    writeBytes(datPath, dat.data(), dat.size());
    const std::string image = kiv::test::buildHed(offset, static_cast<std::uint32_t>(stored.size()),
                                                  static_cast<std::uint32_t>(block.size()), headers);
    writeBytes(hed, image.data(), image.size());
}

void copyPair(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::path fromDat = from, toDat = to;
    fromDat.replace_extension(".dat");
    toDat.replace_extension(".dat");
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(fromDat, toDat, std::filesystem::copy_options::overwrite_existing);
}

// ---- Unpacking, beside the LZW reference -------------------------------------------------

struct BlockFixture {
    std::vector<std::uint8_t> block;
    std::vector<std::uint8_t> packed;
    std::filesystem::path compressed;  // the block through `compress`
};

// The 4 MiB block: random-letter names (kind 0) or vocabulary names (kind 1).
BlockFixture makeBlockFixture(int kind) {
    BlockFixture f;
    std::vector<std::string> names;
    std::size_t total = 4;
    for (const std::string& name : kind == 0 ? itemNames(400000, 3) : vocabularyNames(400000, 3)) {
        if (total + name.size() + 1 > (4u << 20)) break;
        total += name.size() + 1;
        names.push_back(name);
    }
    f.block = kiv::test::buildFilenameBlock(names);
    f.block.resize(4u << 20, 0);  // pad to exactly 4 MiB (as empty names)
    f.packed = kiv::test::packFilenameBlock(f.block);
    const auto raw = scratch() / ("block" + std::to_string(kind) + ".bin");
    writeBytes(raw, f.block.data(), f.block.size());
    f.compressed = raw;
    f.compressed += ".Z";
    const std::string command = "compress -c '" + raw.string() + "' > '" + f.compressed.string() + "'";
    if (std::system(command.c_str()) != 0) f.compressed.clear();
    return f;
}

const BlockFixture& blockFixture(int kind) {
    static const BlockFixture fixtures[2] = {makeBlockFixture(0), makeBlockFixture(1)};
    return fixtures[kind];
}

const char* kindLabel(int kind) { return kind == 0 ? "random-letter names" : "vocabulary names"; }

double g_unpackSeconds[2] = {0, 0};
double g_uncompressSeconds[2] = {0, 0};
double g_startupSeconds = 0;

void BM_UnpackFilenameBlock4MiB(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const BlockFixture& f = blockFixture(kind);
    std::vector<std::uint8_t> out(f.block.size());
    std::int64_t iterations = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::fill(out.begin(), out.end(), 0);
        if (!kiv::unpackFilenameBlock(f.packed, out)) state.SkipWithError("unpack failed");
        benchmark::DoNotOptimize(out.data());
        ++iterations;
    }
    g_unpackSeconds[kind] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / iterations;
    state.SetLabel(kindLabel(kind));
    if (out != f.block) state.SkipWithError("unpacked block differs");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.block.size()));
    state.counters["packed_bytes"] = static_cast<double>(f.packed.size());
}
BENCHMARK(BM_UnpackFilenameBlock4MiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Runs `uncompress -c FILE` with its output thrown away.
bool runUncompress(const std::filesystem::path& file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string path = file.string();
    char* argv[] = {const_cast<char*>("uncompress"), const_cast<char*>("-c"), const_cast<char*>(path.c_str()), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "uncompress", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_UncompressLzw4MiB(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const BlockFixture& f = blockFixture(kind);
    if (f.compressed.empty()) {
        state.SkipWithError("compress is not installed");
        return;
    }
    std::int64_t iterations = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!runUncompress(f.compressed)) state.SkipWithError("uncompress failed");
        ++iterations;
    }
    g_uncompressSeconds[kind] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / iterations;
    state.SetLabel(kindLabel(kind));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.block.size()));
    state.counters["compressed_bytes"] = static_cast<double>(std::filesystem::file_size(f.compressed));
}
BENCHMARK(BM_UncompressLzw4MiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// The same program on a one-byte input: what starting it costs.
void BM_UncompressStartupOnly(benchmark::State& state) {
    const auto raw = scratch() / "tiny.bin";
    const std::uint8_t one = 'x';
    writeBytes(raw, &one, 1);
    const std::string command = "compress -f -c '" + raw.string() + "' > '" + raw.string() + ".Z'";
    if (std::system(command.c_str()) != 0) {
        state.SkipWithError("compress is not installed");
        return;
    }
    std::int64_t iterations = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!runUncompress(raw.string() + ".Z")) state.SkipWithError("uncompress failed");
        ++iterations;
    }
    g_startupSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / iterations;
}
BENCHMARK(BM_UncompressStartupOnly)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

// ---- Opening --------------------------------------------------------------------------------

void BM_Open200000Items(benchmark::State& state) {
    const bool packed = state.range(0) != 0;
    const auto hed = scratch() / (packed ? "open_packed.hed" : "open_plain.hed");
    writePair(hed, itemNames(200000, 5), 4, packed);
    for (auto _ : state) {
        ArchivePair pair;
        std::wstring error;
        if (!pair.open(hed, error) || pair.items.size() != 200000) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(pair.items.data());
    }
    state.SetLabel(packed ? "packed block" : "block stored as is");
}
BENCHMARK(BM_Open200000Items)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Replacing and adding --------------------------------------------------------------------

constexpr int kReplacements = 10000;

void BM_Replace10000ExistingItems(benchmark::State& state) {
    const auto base = scratch() / "replace_base.hed";
    const auto names = itemNames(20000, 7);
    writePair(base, names, 64, false);
    const auto hed = scratch() / "replace.hed";
    const std::vector<std::uint8_t> data(64, 0xAB);
    std::uint64_t written = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyPair(base, hed);
        ArchivePair pair;
        std::wstring error;
        if (!pair.open(hed, error)) state.SkipWithError("open failed");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t before = bytesWritten();
        for (int i = 0; i < kReplacements; ++i) {
            if (!pair.replaceItem(names[static_cast<std::size_t>(i) * 2], data, error)) {
                state.SkipWithError("replace failed");
                break;
            }
        }
        written = bytesWritten() - before;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["bytes_written"] = static_cast<double>(written);
    state.counters["us_per_item"] = seconds * 1e6 / kReplacements;
}
BENCHMARK(BM_Replace10000ExistingItems)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The same files, opened and written in the same pattern, without the two
// flushes: the difference to the benchmark above is what ordering the writes
// on disk costs.
void BM_Replace10000ExistingItemsWithoutFlush(benchmark::State& state) {
    const auto base = scratch() / "replace_base.hed";
    const auto names = itemNames(20000, 7);
    writePair(base, names, 64, false);
    const auto hed = scratch() / "replace_noflush.hed";
    auto dat = hed;
    dat.replace_extension(".dat");
    const std::vector<std::uint8_t> data(64, 0xAB);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyPair(base, hed);
        ArchivePair pair;
        std::wstring error;
        if (!pair.open(hed, error)) state.SkipWithError("open failed");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kReplacements; ++i) {
            File hedFile, datFile;
            std::uint64_t end = 0;
            if (!hedFile.open(hed, File::Mode::readWrite) || !datFile.open(dat, File::Mode::readWrite) ||
                !datFile.size(end) || !datFile.writeAt(end, data.data(), data.size())) {
                state.SkipWithError("write failed");
                break;
            }
            const auto index = pair.nameIndex.at(names[static_cast<std::size_t>(i) * 2]);
            std::uint8_t header[12];
            kiv::storeLe32(header, static_cast<std::uint32_t>(end));
            kiv::storeLe32(header + 4, 64);
            kiv::storeLe32(header + 8, 64);
            hedFile.writeAt(12 * (static_cast<std::uint64_t>(index) + 1), header, sizeof header);
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["us_per_item"] = seconds * 1e6 / kReplacements;
}
BENCHMARK(BM_Replace10000ExistingItemsWithoutFlush)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Add1000ItemsTo100000(benchmark::State& state) {
    constexpr int kExisting = 100000;
    constexpr int kAdded = 1000;
    const auto base = scratch() / "add_base.hed";
    writePair(base, numberedNames(kExisting, 0), 16, false);
    const auto added = numberedNames(kAdded, kExisting);
    const auto hed = scratch() / "add.hed";
    const std::vector<std::uint8_t> data(64, 0xCD);
    std::uint64_t written = 0;
    std::uint64_t headerBytesIfAllRewritten = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyPair(base, hed);
        ArchivePair pair;
        std::wstring error;
        if (!pair.open(hed, error)) state.SkipWithError("open failed");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t before = bytesWritten();
        for (int i = 0; i < kAdded; ++i) {
            if (!pair.replaceItem(added[static_cast<std::size_t>(i)], data, error)) {
                state.SkipWithError("add failed");
                break;
            }
        }
        written = bytesWritten() - before;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    for (int i = 0; i < kAdded; ++i) headerBytesIfAllRewritten += 12u * (kExisting + i + 1);
    state.counters["bytes_written"] = static_cast<double>(written);
    state.counters["header_bytes_if_all_rewritten"] = static_cast<double>(headerBytesIfAllRewritten);
    state.counters["ms_per_item"] = seconds * 1e3 / kAdded;
}
BENCHMARK(BM_Add1000ItemsTo100000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Times one replaceItems call on a fresh copy of `base`, and reports the bytes
// it wrote and its time per entry (`scale` 1e3 for ms, 1e6 for µs).
void timeBatch(benchmark::State& state, const std::filesystem::path& base, const std::filesystem::path& hed,
               const std::vector<ItemReplacement>& batch, const char* perItemCounter, double scale) {
    std::uint64_t written = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyPair(base, hed);
        ArchivePair pair;
        std::wstring error;
        if (!pair.open(hed, error)) state.SkipWithError("open failed");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t before = bytesWritten();
        if (!pair.replaceItems(batch, error)) state.SkipWithError("batch failed");
        written = bytesWritten() - before;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["bytes_written"] = static_cast<double>(written);
    state.counters[perItemCounter] = seconds * scale / static_cast<double>(batch.size());
}

// The same two workloads as one batch each, as a patch now stores them.
void BM_Replace10000ExistingItemsAsOneBatch(benchmark::State& state) {
    const auto base = scratch() / "replace_base.hed";
    const auto names = itemNames(20000, 7);
    writePair(base, names, 64, false);
    const auto hed = scratch() / "replace_batch.hed";
    const std::vector<std::uint8_t> data(64, 0xAB);
    std::vector<ItemReplacement> batch;
    for (int i = 0; i < kReplacements; ++i) batch.push_back({names[static_cast<std::size_t>(i) * 2], data});
    timeBatch(state, base, hed, batch, "us_per_item", 1e6);
}
BENCHMARK(BM_Replace10000ExistingItemsAsOneBatch)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Add1000ItemsTo100000AsOneBatch(benchmark::State& state) {
    constexpr int kExisting = 100000;
    constexpr int kAdded = 1000;
    const auto base = scratch() / "add_base.hed";
    writePair(base, numberedNames(kExisting, 0), 16, false);
    const auto added = numberedNames(kAdded, kExisting);
    const auto hed = scratch() / "add_batch.hed";
    const std::vector<std::uint8_t> data(64, 0xCD);
    std::vector<ItemReplacement> batch;
    for (const std::string& name : added) batch.push_back({name, data});
    timeBatch(state, base, hed, batch, "ms_per_item", 1e3);
}
BENCHMARK(BM_Add1000ItemsTo100000AsOneBatch)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int kind = 0; kind < 2; ++kind) {
        if (g_unpackSeconds[kind] <= 0 || g_uncompressSeconds[kind] <= 0) continue;
        const double mib = 4.0;
        const double decodeOnly = g_uncompressSeconds[kind] - g_startupSeconds;
        std::printf(
            "\n%s: filename block unpack %.1f MiB/s; uncompress %.1f MiB/s as run, %.1f MiB/s without its "
            "start-up; unpack/uncompress throughput %.2f (%.2f without start-up)",
            kindLabel(kind), mib / g_unpackSeconds[kind], mib / g_uncompressSeconds[kind],
            decodeOnly > 0 ? mib / decodeOnly : 0.0, g_uncompressSeconds[kind] / g_unpackSeconds[kind],
            decodeOnly > 0 ? decodeOnly / g_unpackSeconds[kind] : 0.0);
    }
    std::printf("\n");
    std::error_code ignored;
    std::filesystem::remove_all(scratch(), ignored);
    return 0;
}

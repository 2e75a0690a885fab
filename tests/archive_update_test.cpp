#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kiv {
namespace {

using test::asBytes;
using test::readFile;
using test::TempDir;

// A pair holding `names` in index order, item i's data content(name) after 16
// filler bytes with `flagMask` or-ed into its stored-size word, and an
// unpacked filename block after the data.
void writePair(const std::filesystem::path& hed, const std::vector<std::string>& names,
               const std::function<std::string(const std::string&)>& content, std::uint32_t flagMask = 0) {
    std::string dat(16, '\0');
    std::vector<test::HeaderWords> headers;
    for (const std::string& name : names) {
        const auto length = static_cast<std::uint32_t>(content(name).size());
        headers.push_back({static_cast<std::uint32_t>(dat.size()), length | flagMask, length});
        dat += content(name);
    }
    const auto block = static_cast<std::uint32_t>(test::buildFilenameBlock(names).size());
    test::writeFile(hed, test::buildHed(static_cast<std::uint32_t>(dat.size()), block, block, headers));
    test::writeFile(std::filesystem::path(hed).replace_extension(".dat"),
                    dat + test::asString(test::buildFilenameBlock(names)));
}

// Item i's data is "<name>#0".
void writeNamedPair(const std::filesystem::path& hed, const std::vector<std::string>& names,
                    std::uint32_t flagMask = 0) {
    writePair(hed, names, [](const std::string& name) { return name + "#0"; }, flagMask);
}

ArchivePair opened(const std::filesystem::path& hed) {
    ArchivePair pair;
    std::wstring error;
    EXPECT_TRUE(pair.open(hed, error)) << wideToUtf8(error);
    return pair;
}

bool put(ArchivePair& pair, const std::string& name, const std::string& data, std::wstring& error) {
    return pair.replaceItem(name, asBytes(data), error);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

bool putAll(ArchivePair& pair, const Entries& entries, std::wstring& error) {
    std::vector<ItemReplacement> batch;
    for (const auto& [name, data] : entries) {
        batch.push_back({name, {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}});
    }
    return pair.replaceItems(batch, error);
}

// What a reader finds: every item in index order with its flag word and bytes.
using Contents = std::vector<std::tuple<std::string, std::uint32_t, std::string>>;
Contents contents(const std::filesystem::path& hed) {
    const ArchivePair pair = opened(hed);
    const std::string dat = readFile(pair.datPath);
    Contents found;
    for (const ArchiveItem& item : pair.items) {
        found.emplace_back(item.name, item.storedSizeWord, dat.substr(item.dataOffset, item.size));
    }
    return found;
}

// Both files' bytes, to show that a refused change wrote nothing.
struct Snapshot {
    explicit Snapshot(const std::filesystem::path& hed)
        : hed(hed), bytes(readFile(hed) + "|" + readFile(std::filesystem::path(hed).replace_extension(".dat"))) {}
    void expectUnchanged() const { EXPECT_EQ(Snapshot(hed).bytes, bytes); }
    std::filesystem::path hed;
    std::string bytes;
};

TEST(ReplaceItem, InterruptedAdditionLeavesTheOldBlockInForce) {
    // The state an addition leaves when it stops after its new header but
    // before the head: the .hed holds a header beyond the old count.
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    const std::string oldHead = readFile(dir / "x.hed").substr(0, 12);
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    ASSERT_TRUE(put(pair, "c", "lost", error));
    test::writeFile(dir / "x.hed", oldHead + readFile(dir / "x.hed").substr(12));
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", 3, "a#0"}, {"b", 3, "b#0"}}));
    // A later run adds the item again and everything is readable.
    pair = opened(dir / "x.hed");
    ASSERT_TRUE(put(pair, "c", "kept", error));
    ASSERT_TRUE(put(pair, "d", "more", error));
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", 3, "a#0"}, {"b", 3, "b#0"}, {"c", 4, "kept"}, {"d", 4, "more"}}));
}

// Each entry one at a time, or all in one batch, on a pair of `names` whose
// .dat was grown to `datSize` (a sparse file standing in for a large archive):
// what the call answers, where the items then lie and how large the .dat is.
TEST(ReplaceItemLimits, OffsetsAndBlocksStayWithinWhatTheFieldsAddress) {
    const std::wstring append = L"Could not append replacement data.";
    const std::wstring rewrite = L"Could not finish filename rewrite.";
    const struct {
        const char* what;
        std::vector<std::string> names;
        std::uint64_t datSize;
        Entries entries;
        bool batch;
        std::wstring error;  // empty when stored
        std::vector<std::uint32_t> offsets;
        std::uint64_t datSizeAfter;
    } rows[] = {
        {"data ending past 4 GiB", {"a"}, 0xFFFFFFF0u, {{"a", std::string(17, 'x')}}, false, append, {16}, 0xFFFFFFF0u},
        {"data ending at 4 GiB", {"a"}, 0xFFFFFFF0u, {{"a", std::string(16, 'y')}}, false, L"", {0xFFFFFFF0u},
         0x100000000u},
        {"empty data at 4 GiB", {"a"}, 0x100000000u, {{"a", ""}}, false, append, {16}, 0x100000000u},
        {"block past the signed offset", {"a"}, 0x7FFFFFFFu, {{"b", "1"}}, false, rewrite, {16}, 0x7FFFFFFFu},
        {"block at the last signed offset", {"a"}, 0x7FFFFFFEu, {{"b", "1"}}, false, L"", {16, 0x7FFFFFFEu},
         0x7FFFFFFFu + 8},
        {"batch: data past 4 GiB stops at that entry", {"a", "b"}, 0xFFFFFF00u,
         {{"a", std::string(0x80, 'y')}, {"b", std::string(0x81, 'z')}}, true, append, {0xFFFFFF00u, 19},
         0xFFFFFF80u},
        // The batch's new block follows all of its data: an entry whose data
        // would put it out of reach ends the batch, and the addition before
        // it is stored with its block still in reach.
        {"batch: replacement pushing the block out of reach", {"a"}, 0x7FFFFFF0u,
         {{"b", "1"}, {"a", std::string(0x20, 'y')}}, true, append, {16, 0x7FFFFFF0u}, 0x7FFFFFF1u + 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        writeNamedPair(dir / "x.hed", row.names);
        {
            File dat;
            ASSERT_TRUE(dat.open(dir / "x.dat", File::Mode::readWrite) && dat.truncate(row.datSize));
        }
        ArchivePair pair = opened(dir / "x.hed");
        std::wstring error;
        bool stored = row.batch ? putAll(pair, row.entries, error) : true;
        for (std::size_t k = 0; !row.batch && stored && k < row.entries.size(); ++k) {
            stored = put(pair, row.entries[k].first, row.entries[k].second, error);
        }
        EXPECT_EQ(stored, row.error.empty());
        EXPECT_EQ(error, row.error);
        const ArchivePair again = opened(dir / "x.hed");
        std::vector<std::uint32_t> offsets;
        for (const ArchiveItem& item : again.items) offsets.push_back(item.dataOffset);
        EXPECT_EQ(offsets, row.offsets);
        EXPECT_EQ(std::filesystem::file_size(dir / "x.dat"), row.datSizeAfter);
        // The table in memory is the one the files hold.
        EXPECT_EQ(pair.items, again.items);
    }
}

// The single and the batch path against a plain model of the table: each
// entry replaces the data of the last item of its name, and clears its flag,
// or adds an item.
TEST(ReplaceItems, RandomSeriesLeaveWhatOneEntryAtATimeWould) {
    const std::vector<std::string> names = {"a", "dup", "", "b", "dup", "Flagged"};
    const std::vector<std::string> pool = {"a", "dup", "b", "Flagged", "new1", "new2", "", "NEW1", "new4", "c"};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        TempDir dir;
        writeNamedPair(dir / "batch.hed", names, kStoredSizeFlag);
        writeNamedPair(dir / "single.hed", names, kStoredSizeFlag);
        Contents model;
        for (const std::string& name : names) {
            model.emplace_back(name, kStoredSizeFlag | static_cast<std::uint32_t>(name.size() + 2), name + "#0");
        }
        std::mt19937 random(seed);
        // A few batches in a row, each on a freshly opened pair as a patch run does.
        for (int round = 0; round < 3; ++round) {
            Entries entries;
            for (std::size_t k = random() % 25; k > 0; --k) {
                entries.emplace_back(pool[random() % pool.size()], std::string(random() % 40, static_cast<char>('a' + k % 26)));
            }
            // Opening gives the last item of each name a key, empty names none.
            std::map<std::string, std::size_t> index;
            for (std::size_t i = 0; i < model.size(); ++i) {
                if (!std::get<0>(model[i]).empty()) index[std::get<0>(model[i])] = i;
            }
            ArchivePair batch = opened(dir / "batch.hed");
            ArchivePair single = opened(dir / "single.hed");
            std::wstring error;
            ASSERT_TRUE(putAll(batch, entries, error)) << wideToUtf8(error);
            for (const auto& [name, data] : entries) {
                ASSERT_TRUE(put(single, name, data, error));
                const auto [at, added] = index.emplace(name, model.size());
                if (added) model.emplace_back(name, 0, "");
                model[at->second] = {name, static_cast<std::uint32_t>(data.size()), data};
            }
            ASSERT_EQ(contents(dir / "single.hed"), model);
            ASSERT_EQ(contents(dir / "batch.hed"), model);
            EXPECT_EQ(batch.items, opened(dir / "batch.hed").items);
        }
    }
}

TEST(RewriteFilenames, ChangedHeadersInTheTableAreWrittenWithTheBlock) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b", "c"});
    ArchivePair pair = opened(dir / "x.hed");
    pair.items[1].storedSizeWord = 0x80000001u;
    pair.items[1].size = 1;
    std::wstring error;
    ASSERT_TRUE(pair.rewriteFilenames(error));
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", 3, "a#0"}, {"b", 0x80000001u, "b"}, {"c", 3, "c#0"}}));
}

// An index that is not the item's position would put headers in the wrong
// slots; a wild one would size the header buffer from it.
TEST(RewriteFilenames, ItemWhoseIndexIsNotItsPositionIsRefusedWithNothingWritten) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b", "c"});
    const Snapshot before(dir / "x.hed");
    for (const std::int32_t index : {0, 2, -1, 0x7FFFFFFF}) {
        ArchivePair pair = opened(dir / "x.hed");
        pair.items[1].index = index;
        std::wstring error;
        EXPECT_FALSE(pair.rewriteFilenames(error)) << index;
        EXPECT_EQ(error, L"Archive item table is out of order.") << index;
    }
    before.expectUnchanged();
}

TEST(ReplaceItems, NameHoldingAZeroByteIsRefusedBeforeWriting) {
    // One at a time and in the table rewriteFilenames writes (a batch's is in FailingEntryStopsTheBatch).
    const std::function<bool(ArchivePair&, std::wstring&)> attempts[] = {
        [](ArchivePair& pair, std::wstring& error) { return put(pair, std::string("evil\0name", 9), "x", error); },
        [](ArchivePair& pair, std::wstring& error) {
            pair.items[0].name = std::string("a\0b", 3);
            return pair.rewriteFilenames(error);
        },
    };
    for (const auto& attempt : attempts) {
        TempDir dir;
        writeNamedPair(dir / "x.hed", {"a", "b"});
        const Snapshot before(dir / "x.hed");
        ArchivePair pair = opened(dir / "x.hed");
        std::wstring error;
        EXPECT_FALSE(attempt(pair, error));
        EXPECT_EQ(error, L"Could not finish filename rewrite.");
        before.expectUnchanged();
        EXPECT_EQ(pair.nameIndex.size(), 2u);
    }
}

#ifdef __linux__
// Bytes this process has handed to write calls so far.
std::uint64_t bytesWritten() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value && key != "wchar:") {
    }
    return value;
}

TEST(ReplaceItems, WritesOnlyTheDataOneBlockAndTheHeadersThatChange) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back("data\\file" + std::to_string(i));
    writeNamedPair(dir / "x.hed", names);
    ArchivePair pair = opened(dir / "x.hed");
    Entries entries;
    for (int i = 0; i < 500; ++i) entries.emplace_back(names[static_cast<std::size_t>(i * 3)], std::string(40, 'r'));
    for (int i = 0; i < 300; ++i) {
        names.push_back("data\\added" + std::to_string(i));
        entries.emplace_back(names.back(), std::string(60, 'n'));
    }
    std::wstring error;
    std::uint64_t before = bytesWritten();
    ASSERT_TRUE(putAll(pair, entries, error)) << wideToUtf8(error);
    const std::size_t block = test::buildFilenameBlock(names).size();
    EXPECT_EQ(bytesWritten() - before, 500 * 40 + 300 * 60 + block + 300 * 12 + 12 + 500 * 12);
    // One addition: its data and header, the block and the head.
    names.push_back("data\\one more");
    before = bytesWritten();
    ASSERT_TRUE(put(pair, names.back(), std::string(100, 'z'), error));
    EXPECT_EQ(bytesWritten() - before, 100 + test::buildFilenameBlock(names).size() + 12 + 12);
    EXPECT_EQ(opened(dir / "x.hed").items.size(), 2301u);
}
#endif

// Single entries and batches open the pair through the same step.
TEST(ReplaceItems, UnopenedOrVanishedPairIsRefusedAndAnEmptyBatchTouchesNothing) {
    ArchivePair unopened;
    std::wstring error;
    EXPECT_FALSE(put(unopened, "a", "new", error));
    EXPECT_EQ(error, L"Archive was not opened.");

    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    const Snapshot before(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    error.clear();
    EXPECT_TRUE(pair.replaceItems({}, error));
    EXPECT_EQ(error, L"");
    before.expectUnchanged();
    std::filesystem::remove(dir / "x.dat");
    EXPECT_FALSE(putAll(pair, {{"a", "new"}}, error));
    EXPECT_EQ(error, L"Could not reopen archive for writing.");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.dat"));
}

TEST(ReplaceItems, FailingEntryStopsTheBatchWithTheEntriesBeforeItStored) {
    const Entries entries = {{"a", "new a"},   {"c", "added c"}, {"b", "new b"},  {"c", "second c"},
                             {std::string("bad\0name", 8), "x"}, {"a", "never"}, {"d", "never"}};
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    EXPECT_FALSE(putAll(pair, entries, error));
    EXPECT_EQ(error, L"Could not finish filename rewrite.");
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", 5, "new a"}, {"b", 5, "new b"}, {"c", 8, "second c"}}));
    // Nothing of the entries after the failing one reached the .dat.
    EXPECT_EQ(readFile(dir / "x.dat").find("never"), std::string::npos);
}

#ifndef _WIN32
// A full disk under the third entry's data: nothing of the batch is made
// current (the new filename block could not be written either), the error is
// the data's, and the bytes already appended are given back.
TEST(ReplaceItems, DataWriteFailingOnAFullDiskStoresNothingOfTheBatch) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    const Snapshot before(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    const std::vector<ArchiveItem> table = pair.items;
    // The file-size limit stands in for the full disk: writes beyond it fail.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = std::filesystem::file_size(dir / "x.dat") + 30;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::wstring error;
    const bool stored = putAll(pair, {{"a", "new a"}, {"added", "new item"}, {"b", std::string(1000, 'b')}}, error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(stored);
    EXPECT_EQ(error, L"Could not append replacement data.");
    EXPECT_EQ(pair.items, table);
    before.expectUnchanged();
}
#endif

// Item bytes kept outside memory: a string read through the source
// interface, which refuses reads that reach `failFrom`.
class StringSource : public ItemSource {
public:
    StringSource(std::size_t size, std::uint64_t failFrom) : bytes(size, '\0'), failFrom(failFrom) {
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset + out.size() > std::min<std::uint64_t>(failFrom, bytes.size())) return false;
        std::memcpy(out.data(), bytes.data() + offset, out.size());
        return true;
    }
    std::string bytes;
    std::uint64_t failFrom;
};

// Faults: a copy through the bounded buffer that loses its place after the
// first piece, and names sharing one range of a source that get a copy each.
TEST(ReplaceItemsFromASource, LargeItemsArriveWholeAndSharedRangesAreStoredOnce) {
    const std::size_t large = (5u << 19) + 7;  // two and a half pieces and a little
    StringSource source(large + 100, large + 100);
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    const auto datBefore = std::filesystem::file_size(dir / "x.dat");
    ArchivePair pair = opened(dir / "x.hed");
    const std::vector<ItemReplacement> entries = {{"a", {}, &source, 3, large},
                                                  {"b", {}, &source, 0, 0},
                                                  {"added", {}, &source, 3, large},
                                                  {"other", {}, &source, 4, 10}};
    std::wstring error;
    ASSERT_TRUE(pair.replaceItems(entries, error)) << wideToUtf8(error);
    const auto shared = static_cast<std::uint32_t>(large);
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", shared, source.bytes.substr(3, large)},
                                                 {"b", 0, ""},
                                                 {"added", shared, source.bytes.substr(3, large)},
                                                 {"other", 10, source.bytes.substr(4, 10)}}));
    // One copy of the shared range, the short one, and the new block.
    const std::uint64_t block = 4 + 2 + 2 + 6 + 6;
    EXPECT_EQ(std::filesystem::file_size(dir / "x.dat"), datBefore + large + 10 + block);
}

// Fault: a source that cannot deliver its bytes (a patch file cut after it
// was checked) storing whatever the buffer held; like a full disk, it
// commits nothing of the batch.
TEST(ReplaceItemsFromASource, UnreadableSourceStoresNothingOfTheBatch) {
    StringSource source(3u << 20, (3u << 20) - 5);
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    const Snapshot before(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    const std::vector<ItemReplacement> entries = {
        {"a", {}, &source, 0, 100}, {"b", {}, &source, 100, (3u << 20) - 100}, {"c", {}, &source, 0, 1}};
    std::wstring error;
    EXPECT_FALSE(pair.replaceItems(entries, error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    before.expectUnchanged();
}

// ---- Interruption --------------------------------------------------------------------

#ifndef _WIN32
// A long, deterministic series of item replacements and additions. Every
// item's content names the item and its generation, so a reader can tell
// whole old data and whole new data apart from anything else.
struct Step {
    std::string name;
    std::uint32_t generation;  // 0 for the contents the pair starts with
};

std::vector<std::string> initialNames() {
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) names.push_back("data\\item" + std::to_string(i) + ".bin");
    return names;
}

// Mostly replacements of existing items, every third step an addition.
std::vector<Step> workloadSteps(int count) {
    std::vector<Step> steps;
    std::vector<std::string> names = initialNames();
    std::map<std::string, std::uint32_t> generation;
    std::uint32_t state = 12345;
    for (int k = 0; k < count; ++k) {
        state = state * 1103515245u + 12345u;
        if (k % 3 == 2) names.push_back("data\\added" + std::to_string(k) + ".bin");
        const std::string& name = k % 3 == 2 ? names.back() : names[(state >> 8) % names.size()];
        steps.push_back({name, ++generation[name]});
    }
    return steps;
}

// Between a few bytes and a few kilobytes.
std::string workloadContent(const std::string& name, std::uint32_t generation) {
    std::string content = name + "|" + std::to_string(generation) + "|";
    std::uint32_t state = generation * 2654435761u;
    for (char c : name) state = state * 31u + static_cast<unsigned char>(c);
    for (std::size_t filler = (state >> 4) % 4000; filler > 0; --filler) {
        state = state * 1664525u + 1013904223u;
        content.push_back(static_cast<char>(state >> 24));
    }
    return content;
}

// The forked child's work: the steps stored `batch` at a time with
// replaceItems, the pair opened afresh for each batch as for each patch; or,
// with no batch, one at a time, the pair opened again every 64 steps. It
// reports on `ready` once the pair is open, so that the killer knows the
// series has begun.
[[noreturn]] void runWorkload(const std::filesystem::path& hed, const std::vector<Step>& steps, std::size_t batch,
                              int ready) {
    ArchivePair pair;
    std::wstring error;
    bool ok = pair.open(hed, error);
    ok = write(ready, "r", 1) == 1 && ok;
    const std::size_t per = batch > 0 ? batch : 64;
    for (std::size_t first = 0; ok && first < steps.size(); first += per) {
        ok = first == 0 || pair.open(hed, error);
        Entries entries;
        for (std::size_t k = first; k < std::min(steps.size(), first + per); ++k) {
            entries.emplace_back(steps[k].name, workloadContent(steps[k].name, steps[k].generation));
        }
        if (batch > 0) ok = ok && putAll(pair, entries, error);
        for (std::size_t k = 0; batch == 0 && ok && k < entries.size(); ++k) {
            ok = put(pair, entries[k].first, entries[k].second, error);
        }
    }
    // Straight out, like a killed process.
    _exit(ok ? 0 : 1);
}

using Generations = std::map<std::string, std::uint32_t>;

// The state a pair was left in, from the generations its items hold: 2b when
// the batches before b are stored and nothing of b; 2b + 1 when b was caught
// midway, every item of it holding its old or its new generation and b's new
// items all present or all absent; twice the number of batches when all are
// stored. -1 when no batch could leave the pair so.
long stateOf(const Generations& seen, const std::vector<Step>& steps, std::size_t batch) {
    Generations before;
    for (const std::string& name : initialNames()) before[name] = 0;
    for (std::size_t first = 0;; first += batch) {
        if (seen == before) return static_cast<long>(2 * (first / batch));
        if (first >= steps.size()) return -1;
        Generations after = before;
        for (std::size_t k = first; k < std::min(steps.size(), first + batch); ++k) {
            after[steps[k].name] = steps[k].generation;
        }
        std::size_t found = 0, added = 0, addedFound = 0;
        bool oldOrNew = true;
        for (const auto& [name, generation] : after) {
            const auto old = before.find(name);
            const auto item = seen.find(name);
            added += old == before.end();
            if (item == seen.end()) {
                oldOrNew = oldOrNew && old == before.end();
                continue;
            }
            ++found;
            addedFound += old == before.end();
            oldOrNew = oldOrNew && (item->second == generation || (old != before.end() && item->second == old->second));
        }
        if (oldOrNew && found == seen.size() && (addedFound == 0 || addedFound == added)) {
            return static_cast<long>(2 * (first / batch) + (seen == after ? 2 : 1));
        }
        before = std::move(after);
    }
}

// Forks the child on `hed`, waits for it to begin, lets it run for `delay`
// (or to its end when negative) and kills it; then checks that the pair
// opens and every item holds exactly one generation's whole content, and
// returns the state they make, whether the child was killed and how long it
// ran after it began.
struct ChildRun {
    long state = -1;
    bool killed = false;
    std::chrono::microseconds ran{0};
};

ChildRun runChild(const std::filesystem::path& hed, const std::vector<Step>& steps, std::size_t batch,
                  std::chrono::microseconds delay) {
    ChildRun run;
    int ready[2];
    if (pipe(ready) != 0) return run;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        runWorkload(hed, steps, batch, ready[1]);
    }
    close(ready[1]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the child stopped before it began";
    close(ready[0]);
    const auto began = std::chrono::steady_clock::now();
    if (delay.count() >= 0) {
        std::this_thread::sleep_for(delay);
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.ran = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    run.killed = WIFSIGNALED(status);
    EXPECT_TRUE(run.killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "child failed";
    Generations seen;
    for (const auto& [name, word, data] : contents(hed)) {
        const std::string prefix = name + "|";
        EXPECT_EQ(data.compare(0, prefix.size(), prefix), 0) << name;
        if (data.compare(0, prefix.size(), prefix) != 0) return run;
        const auto generation = static_cast<std::uint32_t>(std::stoul(data.substr(prefix.size())));
        EXPECT_EQ(data, workloadContent(name, generation)) << name;
        EXPECT_TRUE(seen.emplace(name, generation).second) << name;
    }
    run.state = stateOf(seen, steps, std::max<std::size_t>(batch, 1));
    EXPECT_GE(run.state, 0) << "the pair is in no state a batch could leave";
    return run;
}

// Runs the child to its end a few times to learn how long the series takes,
// then kills fresh copies of the starting pair at random instants over that
// span, checking the pair after each. The flushes stand around the points
// that commit a batch, so kills land inside a batch's writes too.
TEST(ReplaceItemInterruption, ProcessKilledAtAnyPointLeavesEveryItemOldOrNewAndAdditionsAllOrNone) {
    constexpr int kKillPoints = 300;
    const struct {
        int steps;
        std::size_t batch;  // 0: one replaceItem per step
        int minStates;
        int minInsideBatch;
    } rows[] = {{300, 0, 20, 0}, {900, 30, 15, 5}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.batch);
        // Single steps in memory where there is room; batches on disk, where
        // the flushes take real time.
        test::ScratchDir scratch;
        TempDir disk;
        const std::filesystem::path dir = row.batch > 0 ? disk.path() : scratch.path();
        writePair(dir / "start.hed", initialNames(), [](const std::string& name) { return workloadContent(name, 0); });
        const auto fresh = [&dir](const std::string& base) {
            for (const char* extension : {".hed", ".dat"}) {
                std::filesystem::copy_file(dir / ("start" + std::string(extension)), dir / (base + extension),
                                           std::filesystem::copy_options::overwrite_existing);
            }
            return dir / (base + ".hed");
        };
        const std::vector<Step> steps = workloadSteps(row.steps);
        const long done = 2 * row.steps / static_cast<long>(std::max<std::size_t>(row.batch, 1));
        std::chrono::microseconds span{0};
        for (int run = 0; run < 3; ++run) {
            const ChildRun whole = runChild(fresh("whole"), steps, row.batch, std::chrono::microseconds(-1));
            EXPECT_EQ(whole.state, done);
            ASSERT_FALSE(HasFailure());
            span = std::max(span, whole.ran);
        }
        std::mt19937 random(29);
        std::uniform_int_distribution<long long> when(0, span.count());
        int killedMidway = 0;
        int insideBatch = 0;
        std::set<long> states;
        for (int point = 0; point < kKillPoints; ++point) {
            const ChildRun run = runChild(fresh("trial"), steps, row.batch, std::chrono::microseconds(when(random)));
            ASSERT_FALSE(HasFailure()) << "at kill point " << point;
            if (run.killed) {
                ++killedMidway;
                insideBatch += static_cast<int>(run.state % 2);
                states.insert(run.state);
            }
        }
        std::printf("[ interruption ] batches of %zu: %d kill points, %d while the series ran, %d inside a batch, "
                    "leaving %zu different states (of %ld); full run %lld ms\n",
                    row.batch, kKillPoints, killedMidway, insideBatch, states.size(), done + 1,
                    static_cast<long long>(span.count() / 1000));
        // Kills that all land before the first step or after the last test
        // nothing; a busy machine still leaves many more than these.
        EXPECT_GE(killedMidway, kKillPoints / 10);
        EXPECT_GE(insideBatch, row.minInsideBatch);
        EXPECT_GE(static_cast<int>(states.size()), row.minStates);
    }
}
#endif

}  // namespace
}  // namespace kiv

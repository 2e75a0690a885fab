#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kiv {
namespace {

using namespace std::chrono_literals;

// A pair holding `names` in index order: 16 filler bytes, then each item's
// data with `flagMask` or-ed into its stored-size word, then an unpacked
// filename block.
void writePair(const std::filesystem::path& hed, const std::vector<std::string>& names, std::uint32_t flagMask = 0,
               const std::function<std::string(const std::string&)>& content =
                   [](const std::string& name) { return name + "#0"; }) {
    std::string dat(16, '\0');
    std::vector<test::HeaderWords> headers;
    for (const std::string& name : names) {
        const auto length = static_cast<std::uint32_t>(content(name).size());
        headers.push_back({static_cast<std::uint32_t>(dat.size()), length | flagMask, length});
        dat += content(name);
    }
    const std::string block = test::asString(test::buildFilenameBlock(names));
    const auto blockSize = static_cast<std::uint32_t>(block.size());
    test::writeFile(hed, test::buildHed(static_cast<std::uint32_t>(dat.size()), blockSize, blockSize, headers));
    test::writeFile(std::filesystem::path(hed).replace_extension(".dat"), dat + block);
}

ArchivePair opened(const std::filesystem::path& hed) {
    ArchivePair pair;
    std::wstring error;
    EXPECT_TRUE(pair.open(hed, error)) << wideToUtf8(error);
    return pair;
}

bool put(ArchivePair& pair, const std::string& name, const std::string& data, std::wstring& error) {
    return pair.replaceItem(name, test::asBytes(data), error);
}

using Entries = std::vector<std::pair<std::string, std::string>>;

bool putAll(ArchivePair& pair, const Entries& entries, std::wstring& error) {
    std::vector<ItemReplacement> batch;
    for (const auto& [name, data] : entries) {
        batch.push_back({name, test::asBytes(data)});
    }
    return pair.replaceItems(batch, error);
}

// What a reader finds: every item in index order with its flag word and bytes.
using Contents = std::vector<std::tuple<std::string, std::uint32_t, std::string>>;
Contents contents(const std::filesystem::path& hed) {
    const ArchivePair pair = opened(hed);
    const std::string dat = test::readFile(pair.datPath);
    Contents found;
    for (const ArchiveItem& item : pair.items) {
        found.emplace_back(item.name, item.storedSizeWord, dat.substr(item.dataOffset, item.size));
    }
    return found;
}

// Both files' bytes, to show that a refused change wrote nothing.
std::string bothFiles(const std::filesystem::path& hed) {
    return test::readFile(hed) + "|" + test::readFile(std::filesystem::path(hed).replace_extension(".dat"));
}

// Entries stored one at a time (a row of one entry) or in one batch, on a
// pair of `names` whose .dat was grown to `datSize` (a sparse file standing
// in for a large archive): each entry is checked before its bytes are
// written, so a refused one leaves the files as they were, and a batch
// stops at it with the entries before it stored.
TEST(ReplaceItemChecks, RefusedEntriesWriteNothingAndLimitsAreExact) {
    const std::wstring append = L"Could not append replacement data.";
    const std::wstring rewrite = L"Could not finish filename rewrite.";
    const std::string zeroByte("bad\0name", 8);
    const struct {
        const char* what;
        std::vector<std::string> names;
        std::uint64_t datSize;
        Entries entries;
        std::wstring error;  // empty when stored
        std::vector<std::uint32_t> offsets;
        std::uint64_t datSizeAfter;
    } rows[] = {
        {"data ending past 4 GiB", {"a"}, 0xFFFFFFF0u, {{"a", std::string(17, 'x')}}, append, {16}, 0xFFFFFFF0u},
        {"data ending at 4 GiB", {"a"}, 0xFFFFFFF0u, {{"a", std::string(16, 'y')}}, L"", {0xFFFFFFF0u}, 1ull << 32},
        {"empty data at 4 GiB", {"a"}, 1ull << 32, {{"a", ""}}, append, {16}, 1ull << 32},
        {"block past the signed offset", {"a"}, 0x7FFFFFFFu, {{"b", "1"}}, rewrite, {16}, 0x7FFFFFFFu},
        {"block at the last signed offset", {"a"}, 0x7FFFFFFEu, {{"b", "1"}}, L"", {16, 0x7FFFFFFEu}, 0x7FFFFFFFu + 8},
        // A name holding a 0x00 byte would read back as two names.
        {"name holding a 0x00 byte", {"a"}, 25, {{zeroByte, "x"}}, rewrite, {16}, 25},
        {"empty batch", {"a"}, 25, {}, L"", {16}, 25},
        {"batch: data past 4 GiB", {"a", "b"}, 0xFFFFFF00u,
         {{"a", std::string(0x80, 'y')}, {"b", std::string(0x81, 'z')}}, append, {0xFFFFFF00u, 19}, 0xFFFFFF80u},
        // The batch's new block follows all of its data: an entry whose data
        // would put it out of reach ends the batch, and the addition before
        // it is stored with its block still in reach.
        {"batch: replacement pushing the block out of reach", {"a"}, 0x7FFFFFF0u,
         {{"b", "1"}, {"a", std::string(0x20, 'y')}}, append, {16, 0x7FFFFFF0u}, 0x7FFFFFF1u + 8},
        // The last of two entries of a name wins; nothing of the entries
        // after the refused one reaches the .dat.
        {"batch: name holding a 0x00 byte", {"a", "b"}, 30,
         {{"a", "new a"}, {"c", "added c"}, {"b", "new b"}, {"c", "second c"}, {zeroByte, "x"}, {"d", "never"}},
         rewrite, {30, 42, 47}, 55 + 10},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test::TempDir dir;
        writePair(dir / "x.hed", row.names);
        File dat;
        ASSERT_TRUE(dat.open(dir / "x.dat", File::Mode::readWrite) && dat.truncate(row.datSize));
        dat.close();
        ArchivePair pair = opened(dir / "x.hed");
        std::wstring error;
        EXPECT_EQ(row.entries.size() == 1 ? put(pair, row.entries[0].first, row.entries[0].second, error)
                                          : putAll(pair, row.entries, error),
                  row.error.empty());
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

// rewriteFilenames refuses, with nothing written, a table that would not read
// back: an index that is not the item's position (which would put headers in
// the wrong slots, or size the header buffer from a wild number) or a name
// holding a 0x00 byte. (Changed headers going out with the block: the
// additions below.)
TEST(RewriteFilenames, ATableThatWouldNotReadBackIsRefused) {
    for (const auto& [index, name, message] :
         {std::tuple{0, std::string("a"), L"Archive item table is out of order."},
          std::tuple{1, std::string("a\0b", 3), L"Could not finish filename rewrite."}}) {
        test::TempDir dir;
        writePair(dir / "x.hed", {"a", "b", "c"});
        const std::string before = bothFiles(dir / "x.hed");
        ArchivePair pair = opened(dir / "x.hed");
        pair.items[0].name = name;
        pair.items[1].index = index;
        pair.items[1].size = 1;
        std::wstring error;
        EXPECT_FALSE(pair.rewriteFilenames(error));
        EXPECT_EQ(error, message);
        EXPECT_EQ(bothFiles(dir / "x.hed"), before);
    }
}

// Bytes become reachable only through the .hed, and only once what they
// point at is on disk: a kill cannot see a missing flush, so the order is
// checked as it happens. Every .hed write finds the .dat flushed, the head
// finds the headers flushed, and nothing is left unflushed at the end. The
// bytes written are counted too: the data, one block and the headers that
// change, never the whole table again.
class WriteWatch : public FileLayer {
public:
    WriteWatch() { setFileLayer(this); }
    ~WriteWatch() override { setFileLayer(nullptr); }
    bool before(const FileChange& change) override {
        const bool hed = change.path.extension() == ".hed";
        if (change.kind == FileChange::Kind::flush) (hed ? hedDirty : datDirty) = false;
        if (change.kind != FileChange::Kind::write) return true;
        if (hed && datDirty) faults += "a .hed write before the .dat was flushed; ";
        if (hed && change.offset == 0 && hedDirty) faults += "the head before the headers were flushed; ";
        (hed ? hedDirty : datDirty) = true;
        written += change.length;
        return true;
    }
    void after(const FileChange&) override {}
    bool datDirty = false, hedDirty = false;
    std::string faults;
    std::size_t written = 0;
};

TEST(ReplaceItems, WhatTheHeadOrAHeaderMakesReachableIsFlushedFirst) {
    using Step = std::function<bool(ArchivePair&, std::wstring&)>;
    // Written: the data, a block of the names (4 + 2 bytes each), 12 bytes
    // per new or changed header and 12 for the head.
    const std::tuple<const char*, Step, std::size_t> steps[] = {
        {"replace", [](ArchivePair& p, std::wstring& e) { return put(p, "a", "new a", e); }, 5 + 12},
        {"add", [](ArchivePair& p, std::wstring& e) { return put(p, "d", "new d", e); }, 5 + 12 + 12 + 12},
        // a and c change, b between them does not.
        {"batch", [](ArchivePair& p, std::wstring& e) { return putAll(p, {{"c", "C"}, {"a", "A"}, {"d", "D"}}, e); },
         3 + 12 + 12 + 12 + 24},
        {"additions", [](ArchivePair& p, std::wstring& e) { return putAll(p, {{"d", "D"}, {"e", "E"}}, e); },
         2 + 14 + 24 + 12},
        {"rewrite", [](ArchivePair& p, std::wstring& e) { return p.rewriteFilenames(e); }, 10 + 12},
    };
    for (const auto& [name, step, written] : steps) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        writePair(dir / "x.hed", {"a", "b", "c"});
        ArchivePair pair = opened(dir / "x.hed");
        WriteWatch watch;
        std::wstring error;
        ASSERT_TRUE(step(pair, error)) << wideToUtf8(error);
        EXPECT_EQ(watch.faults, "");
        EXPECT_FALSE(watch.datDirty || watch.hedDirty) << "left unflushed";
        EXPECT_EQ(watch.written, written);
    }
}

// Item bytes kept outside memory: a string read through the source
// interface, which refuses reads that reach `failFrom`.
class StringSource : public ItemSource {
public:
    StringSource(std::size_t size, std::uint64_t failFrom) : bytes(size, '\0'), failFrom(failFrom) {
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset + out.size() > std::min<std::uint64_t>(failFrom, bytes.size())) return false;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
    }
    std::string bytes;
    std::uint64_t failFrom;
};

// Bytes from a source are copied in bounded pieces: a copy that loses its
// place after the first piece garbles a large item. A write failing midway,
// from a source that cannot deliver its bytes (a patch file cut after it was
// checked) or on a full disk, commits nothing of the batch (the new filename
// block could not be written either): the error is the data's, and the bytes
// already appended are given back.
TEST(ReplaceItems, FailingWritesAndVanishedPairsStoreNothingAndLargeItemsArriveWhole) {
    constexpr std::uint64_t kSize = (5u << 19) + 7;  // two and a half pieces and a little
    StringSource source(kSize, kSize - 5);
    test::TempDir dir;
    writePair(dir / "x.hed", {"a", "b"});
    const std::string before = bothFiles(dir / "x.hed");
    const auto datBefore = std::filesystem::file_size(dir / "x.dat");
    ArchivePair pair = opened(dir / "x.hed");
    const std::vector<ArchiveItem> table = pair.items;
    const std::vector<ItemReplacement> entries = {
        {"a", {}, &source, 0, 100}, {"added", {}, &source, 3, kSize - 3}, {"b", {}, &source, 0, 0}};
    std::wstring error;
    for (const bool fullDisk : {false, true}) {
        // Writes refused beyond a limit stand in for the full disk.
        source.failFrom = fullDisk ? kSize : kSize - 5;
        const test::RefuseFileChanges full([&](const FileChange& change) {
            return fullDisk && change.kind == FileChange::Kind::write && change.offset + change.length > datBefore + 200;
        });
        EXPECT_FALSE(pair.replaceItems(entries, error));
        EXPECT_EQ(error, L"Could not append replacement data.");
        EXPECT_EQ(pair.items, table);
        EXPECT_EQ(bothFiles(dir / "x.hed"), before);
    }
    ASSERT_TRUE(pair.replaceItems(entries, error)) << wideToUtf8(error);
    const auto large = static_cast<std::uint32_t>(kSize - 3);
    EXPECT_EQ(contents(dir / "x.hed"), (Contents{{"a", 100, source.bytes.substr(0, 100)},
                                                 {"b", 0, ""},
                                                 {"added", large, source.bytes.substr(3)}}));
    // The data and one block of the three names (4 + 2 + 2 + 6 bytes), nothing more.
    EXPECT_EQ(std::filesystem::file_size(dir / "x.dat"), datBefore + 100 + large + 14);

    // A pair never opened, or whose .dat has gone, is refused (single entries
    // and batches open it through the same step), and no .dat is made.
    ArchivePair unopened;
    EXPECT_FALSE(put(unopened, "a", "new", error));
    EXPECT_EQ(error, L"Archive was not opened.");
    std::filesystem::remove(dir / "x.dat");
    EXPECT_FALSE(putAll(pair, {{"a", "new"}}, error));
    EXPECT_EQ(error, L"Could not reopen archive for writing.");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.dat"));
}

// ---- Interruption --------------------------------------------------------------------

#ifndef _WIN32
// A long, deterministic series of item replacements and, every third step,
// additions. Every item's content names the item and its generation (0 for
// the contents the pair starts with), so a reader can tell whole old data and
// whole new data apart from anything else.
using Generations = std::map<std::string, std::uint32_t>;
using Steps = std::vector<std::pair<std::string, std::uint32_t>>;

std::vector<std::string> initialNames() {
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) names.push_back("data\\item" + std::to_string(i) + ".bin");
    return names;
}

Steps workloadSteps(int count) {
    Steps steps;
    std::vector<std::string> names = initialNames();
    Generations generation;
    for (int k = 0; k < count; ++k) {
        if (k % 3 == 2) names.push_back("data\\added" + std::to_string(k) + ".bin");
        const std::string& name = k % 3 == 2 ? names.back() : names[(k * 7919u + k * k) % names.size()];
        steps.emplace_back(name, ++generation[name]);
    }
    return steps;
}

// Between a few bytes and a few kilobytes. Each is made once: the children
// forked after it find it made, and their time goes to storing it.
const std::string& workloadContent(const std::string& name, std::uint32_t generation) {
    static std::map<std::pair<std::string, std::uint32_t>, std::string> made;
    auto [found, fresh] = made.try_emplace({name, generation}, name + "|" + std::to_string(generation) + "|");
    std::string& content = found->second;
    if (fresh) {
        std::mt19937 random(static_cast<std::uint32_t>(std::hash<std::string>()(content)));
        for (std::size_t filler = random() % 4000; filler > 0; --filler) content.push_back(static_cast<char>(random()));
    }
    return content;
}

// The state a pair was left in, from the generations its items hold: 2b when
// the batches before b are stored and nothing of b; 2b + 1 when b was caught
// midway, each of its items holding its old or its new generation and its
// new items all present or all absent. -1 when no batch could leave it so.
long stateOf(const Generations& seen, const Steps& steps, std::size_t batch) {
    Generations before;
    for (const std::string& name : initialNames()) before[name] = 0;
    for (std::size_t first = 0;; first += batch) {
        const auto state = static_cast<long>(2 * (first / batch));
        if (seen == before) return state;
        if (first >= steps.size()) return -1;
        Generations after = before;
        for (std::size_t k = first; k < std::min(steps.size(), first + batch); ++k) {
            after[steps[k].first] = steps[k].second;
        }
        std::size_t found = 0, added = 0, addedFound = 0;
        bool oldOrNew = true;
        for (const auto& [name, generation] : after) {
            const auto old = before.find(name);
            const auto item = seen.find(name);
            const bool isNew = old == before.end();
            added += isNew;
            found += item != seen.end();
            addedFound += isNew && item != seen.end();
            const bool oldOne = item == seen.end() ? isNew : !isNew && item->second == old->second;
            oldOrNew = oldOrNew && (oldOne || (item != seen.end() && item->second == generation));
        }
        if (seen != after && oldOrNew && found == seen.size() && (addedFound == 0 || addedFound == added)) {
            return state + 1;
        }
        before = std::move(after);
    }
}

// Forks a child that stores the steps `batch` at a time with replaceItems,
// the pair opened afresh for each batch as for each patch (or, with no batch,
// one at a time, opened again every 64 steps); lets it run for `delay` after
// it has opened the pair (to its end when negative) and kills it. Then checks
// that the pair opens and every item holds one generation's whole content,
// and gives the state they make and whether the child was killed; `ran` is
// how long it ran after opening the pair.
std::pair<long, bool> runChild(const std::filesystem::path& hed, const Steps& steps, std::size_t batch,
                               std::chrono::microseconds delay, std::chrono::steady_clock::duration& ran) {
    int ready[2];
    if (pipe(ready) != 0) return {-1, false};
    const pid_t child = fork();
    if (child == 0) {
        // The batches are gathered before the series begins, so that its
        // time goes to storing them.
        const std::size_t per = batch > 0 ? batch : 64;
        std::vector<Entries> batches((steps.size() + per - 1) / per);
        for (std::size_t k = 0; k < steps.size(); ++k) {
            batches[k / per].emplace_back(steps[k].first, workloadContent(steps[k].first, steps[k].second));
        }
        ArchivePair pair;
        std::wstring error;
        bool ok = pair.open(hed, error) && write(ready[1], "r", 1) == 1;
        for (std::size_t b = 0; ok && b < batches.size(); ++b) {
            ok = b == 0 || pair.open(hed, error);
            if (batch > 0) ok = ok && putAll(pair, batches[b], error);
            for (std::size_t k = 0; batch == 0 && ok && k < batches[b].size(); ++k) {
                ok = put(pair, batches[b][k].first, batches[b][k].second, error);
            }
        }
        _exit(ok ? 0 : 1);  // straight out, like a killed process
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
    ran = std::chrono::steady_clock::now() - began;
    const bool killed = WIFSIGNALED(status);
    EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "child failed";
    Generations seen;
    for (const auto& [name, word, data] : contents(hed)) {
        // The generation stands after the name; what follows it must match.
        const auto generation = static_cast<std::uint32_t>(std::stoul(data.substr(name.size() + 1)));
        EXPECT_EQ(data, workloadContent(name, generation));
        // The starting items are flagged; a replacement's length is plain.
        EXPECT_EQ(word, (generation == 0 ? kStoredSizeFlag : 0u) | static_cast<std::uint32_t>(data.size())) << name;
        EXPECT_TRUE(seen.emplace(name, generation).second) << name;
    }
    const long state = stateOf(seen, steps, std::max<std::size_t>(batch, 1));
    EXPECT_GE(state, 0) << "the pair is in no state a batch could leave";
    return {state, killed};
}

// Runs the child to its end to learn how long the series takes,
// then kills it at random instants over that span, each time on a fresh
// starting pair, checking the pair after each. The flushes stand around the
// points that commit a batch, so kills land inside a batch's writes too.
TEST(ReplaceItemInterruption, ProcessKilledAtAnyPointLeavesEveryItemOldOrNewAndAdditionsAllOrNone) {
    // A batch is caught midway only between its head and its last flush, a
    // short stretch of the series: batches get more kills.
    const struct {
        int steps;
        std::size_t batch;  // 0: one replaceItem per step
        int killPoints;
        std::size_t minStates;
        int minInsideBatch;
    } rows[] = {{300, 0, 100, 20, 0}, {900, 30, 300, 15, 5}};
    for (const auto& row : rows) {
        if (HasFailure()) return;  // the row before failed
        SCOPED_TRACE(row.batch);
        // Single steps in memory where there is room; batches on disk, where
        // the flushes take real time.
        test::ScratchDir scratch;
        test::TempDir disk;
        const std::filesystem::path hed = (row.batch > 0 ? disk.path() : scratch.path()) / "x.hed";
        const auto fresh = [&hed] {
            writePair(hed, initialNames(), kStoredSizeFlag,
                      [](const std::string& name) { return workloadContent(name, 0); });
            return hed;
        };
        const Steps steps = workloadSteps(row.steps);
        for (const auto& [name, generation] : steps) workloadContent(name, generation);
        const long done = 2 * row.steps / static_cast<long>(std::max<std::size_t>(row.batch, 1));
        // The shortest of a few runs, so that a run slowed by a busy machine
        // does not send the kills past the end of the series.
        auto span = std::chrono::steady_clock::duration::max();
        std::chrono::steady_clock::duration ran{};
        for (int run = 0; run < 3; ++run) {
            EXPECT_EQ(runChild(fresh(), steps, row.batch, -1us, ran).first, done);
            ASSERT_FALSE(HasFailure());
            span = std::min(span, ran);
        }
        std::mt19937 random(29);
        std::uniform_int_distribution<long long> when(0, span / 1us);
        int killedMidway = 0, insideBatch = 0;
        std::set<long> states;
        for (int point = 0; point < row.killPoints; ++point) {
            const auto [state, killed] = runChild(fresh(), steps, row.batch, when(random) * 1us, ran);
            ASSERT_FALSE(HasFailure()) << "at kill point " << point;
            killedMidway += killed;
            insideBatch += killed && state % 2 == 1;
            if (killed) states.insert(state);
        }
        std::printf("[ interruption ] batches of %zu: %d kill points, %d while the series ran, %d inside a batch, "
                    "leaving %zu different states (of %ld); full run %lld ms\n",
                    row.batch, row.killPoints, killedMidway, insideBatch, states.size(), done + 1,
                    when.max() / 1000);
        // Kills that all land before the first step or after the last test
        // nothing; a busy machine still leaves many more than these.
        EXPECT_GE(killedMidway, row.killPoints / 10);
        EXPECT_GE(insideBatch, row.minInsideBatch);
        EXPECT_GE(states.size(), row.minStates);
    }
}
#endif

}  // namespace
}  // namespace kiv

#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_packer.h"
#include "tests/archive_workload.h"
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
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace kiv {
namespace {

using test::asBytes;
using test::asString;
using test::buildFilenameBlock;
using test::buildHed;
using test::HeaderWords;
using test::readFile;
using test::ScratchDir;
using test::TempDir;
using test::writeFile;

std::uint32_t word(const std::string& bytes, std::size_t at) {
    return loadLe32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}

// A pair with the given names; item i's data is "<name>#0" stored after a
// 16-byte filler, and the block follows the data.
void writeNamedPair(const std::filesystem::path& hed, const std::vector<std::string>& names,
                    std::uint32_t flagMask = 0) {
    test::writeUnpackedPair(hed, names, [](const std::string& name) { return name + "#0"; }, flagMask);
}

ArchivePair opened(const std::filesystem::path& hed) {
    ArchivePair pair;
    std::wstring error;
    EXPECT_TRUE(pair.open(hed, error)) << wideToUtf8(error);
    return pair;
}

std::string itemBytes(const ArchivePair& pair, const std::string& name) {
    const ArchiveItem& item = pair.items.at(static_cast<std::size_t>(pair.nameIndex.at(name)));
    return readFile(pair.datPath).substr(item.dataOffset, item.size);
}

bool put(ArchivePair& pair, const std::string& name, const std::string& data, std::wstring& error) {
    const auto bytes = asBytes(data);
    return pair.replaceItem(name, bytes, error);
}

// Both files' bytes, to show that a refused change wrote nothing.
struct Snapshot {
    explicit Snapshot(const std::filesystem::path& hed)
        : hed(hed), hedBytes(readFile(hed)), datBytes(readFile(std::filesystem::path(hed).replace_extension(".dat"))) {}
    void expectUnchanged() const {
        EXPECT_EQ(readFile(hed), hedBytes);
        EXPECT_EQ(readFile(std::filesystem::path(hed).replace_extension(".dat")), datBytes);
    }
    std::filesystem::path hed;
    std::string hedBytes, datBytes;
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
    std::string hed = readFile(dir / "x.hed");
    writeFile(dir / "x.hed", oldHead + hed.substr(12));

    ArchivePair again = opened(dir / "x.hed");
    ASSERT_EQ(again.items.size(), 2u);
    EXPECT_EQ(again.nameIndex.count("c"), 0u);
    // A later run adds the item again and everything is readable.
    ASSERT_TRUE(put(again, "c", "kept", error));
    ASSERT_TRUE(put(again, "d", "more", error));
    ArchivePair last = opened(dir / "x.hed");
    ASSERT_EQ(last.items.size(), 4u);
    EXPECT_EQ(itemBytes(last, "c"), "kept");
    EXPECT_EQ(itemBytes(last, "d"), "more");
    EXPECT_EQ(itemBytes(last, "b"), "b#0");
}

// ---- Size limits (sparse files stand in for large archives) ------------------------

void growDat(const std::filesystem::path& dat, std::uint64_t size) {
    File file;
    ASSERT_TRUE(file.open(dat, File::Mode::readWrite));
    ASSERT_TRUE(file.truncate(size));
}

std::uint64_t fileSize(const std::filesystem::path& path) { return std::filesystem::file_size(path); }

TEST(ReplaceItemLimits, DataThatWouldEndBeyondFourGibibytesIsRefusedBeforeWriting) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    growDat(dir / "x.dat", 0xFFFFFFF0u);
    const std::string hed = readFile(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    const auto itemsBefore = pair.items;
    std::wstring error;
    EXPECT_FALSE(put(pair, "a", std::string(17, 'x'), error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    EXPECT_EQ(fileSize(dir / "x.dat"), 0xFFFFFFF0u);
    EXPECT_EQ(readFile(dir / "x.hed"), hed);
    EXPECT_EQ(pair.items, itemsBefore);

    // Exactly up to the limit is still addressable; beyond it not even empty
    // data is, as its offset would not fit.
    error.clear();
    ASSERT_TRUE(put(pair, "a", std::string(16, 'y'), error)) << wideToUtf8(error);
    EXPECT_EQ(opened(dir / "x.hed").items[0].dataOffset, 0xFFFFFFF0u);
    EXPECT_FALSE(pair.replaceItem("a", {}, error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    EXPECT_EQ(fileSize(dir / "x.dat"), 0x100000000ull);
}

TEST(ReplaceItemLimits, BlockThatWouldStartBeyondTheSignedOffsetIsRefusedBeforeWriting) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    growDat(dir / "x.dat", 0x7FFFFFFFu);
    const std::string hed = readFile(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    EXPECT_FALSE(put(pair, "b", "1", error));
    EXPECT_EQ(error, L"Could not finish filename rewrite.");
    EXPECT_EQ(fileSize(dir / "x.dat"), 0x7FFFFFFFu);
    EXPECT_EQ(readFile(dir / "x.hed"), hed);
    EXPECT_EQ(pair.items.size(), 1u);
    EXPECT_EQ(pair.nameIndex.count("b"), 0u);

    // A block starting at the last signed offset is read back.
    writeNamedPair(dir / "x.hed", {"a"});
    growDat(dir / "x.dat", 0x7FFFFFFEu);
    pair = opened(dir / "x.hed");
    ASSERT_TRUE(put(pair, "b", "1", error)) << wideToUtf8(error);
    EXPECT_EQ(word(readFile(dir / "x.hed"), 0), 0x7FFFFFFFu);
    ArchivePair again = opened(dir / "x.hed");
    ASSERT_EQ(again.items.size(), 2u);
    EXPECT_EQ(again.items[1].dataOffset, 0x7FFFFFFEu);
}

// ---- The rewrite gives the same files as writing every header ---------------------

// Item replacement as first laid down: append the data and write the header
// for an existing item; for a new one append the data and a new block, then
// write the head and every header in index order.
class ReferenceWriter {
public:
    explicit ReferenceWriter(const std::filesystem::path& hed) : pair_(opened(hed)) {}

    void replace(const std::string& name, const std::string& data) {
        std::fstream dat(pair_.datPath, std::ios::in | std::ios::out | std::ios::binary);
        std::fstream hed(pair_.hedPath, std::ios::in | std::ios::out | std::ios::binary);
        dat.seekp(0, std::ios::end);
        const auto offset = static_cast<std::uint32_t>(dat.tellp());
        dat.write(data.data(), static_cast<std::streamsize>(data.size()));
        const auto length = static_cast<std::uint32_t>(data.size());
        auto found = pair_.nameIndex.find(name);
        if (found != pair_.nameIndex.end()) {
            ArchiveItem& item = pair_.items[static_cast<std::size_t>(found->second)];
            item.dataOffset = offset;
            item.storedSizeWord = item.storedSize = item.size = length;
            writeHeader(hed, item);
            return;
        }
        const auto index = static_cast<std::int32_t>(pair_.items.size());
        pair_.items.push_back({name, offset, length, length, length, index});
        pair_.nameIndex[name] = index;
        std::vector<std::string> names;
        for (const ArchiveItem& item : pair_.items) names.push_back(item.name);
        const std::string block = asString(buildFilenameBlock(names));
        dat.seekp(0, std::ios::end);
        const auto blockOffset = static_cast<std::uint32_t>(dat.tellp());
        dat.write(block.data(), static_cast<std::streamsize>(block.size()));
        const auto blockLength = static_cast<std::uint32_t>(block.size());
        std::string head = buildHed(blockOffset, blockLength, blockLength, {});
        hed.seekp(0);
        hed.write(head.data(), 12);
        for (const ArchiveItem& item : pair_.items) writeHeader(hed, item);
    }

private:
    static void writeHeader(std::fstream& hed, const ArchiveItem& item) {
        const std::string bytes = buildHed(item.dataOffset, item.storedSizeWord, item.size, {});
        hed.seekp(12 * (static_cast<std::streamoff>(item.index) + 1));
        hed.write(bytes.data(), 12);
    }

    ArchivePair pair_;
};

TEST(ReplaceItem, SkippingUnchangedHeadersGivesTheSameFilesAsRewritingThemAll) {
    TempDir dir;
    const std::vector<std::string> names = {"a", "dup", "", "b", "dup", "Flagged"};
    writeNamedPair(dir / "mine.hed", names, 0x80000000u);
    writeNamedPair(dir / "reference.hed", names, 0x80000000u);
    ArchivePair pair = opened(dir / "mine.hed");
    ReferenceWriter reference(dir / "reference.hed");

    std::mt19937 random(5);
    std::vector<std::string> pool = {"a", "dup", "b", "Flagged", "new1", "new2", "new3", "", "NEW1", "new4"};
    for (int step = 0; step < 60; ++step) {
        const std::string name = pool[random() % pool.size()];
        const std::string data(random() % 50, static_cast<char>('a' + step % 26));
        std::wstring error;
        ASSERT_TRUE(put(pair, name, data, error)) << wideToUtf8(error);
        reference.replace(name, data);
        ASSERT_EQ(readFile(dir / "mine.hed"), readFile(dir / "reference.hed")) << step;
        ASSERT_EQ(readFile(dir / "mine.dat"), readFile(dir / "reference.dat")) << step;
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
    ArchivePair again = opened(dir / "x.hed");
    EXPECT_EQ(again.items[1].storedSizeWord, 0x80000001u);
    EXPECT_EQ(again.items[1].size, 1u);
    EXPECT_EQ(again.items[0], pair.items[0]);
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

#ifdef __linux__
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

TEST(ReplaceItem, AdditionWritesOnlyTheNewHeaderBesideDataBlockAndHead) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i) names.push_back("data\\file" + std::to_string(i));
    writeNamedPair(dir / "x.hed", names);
    ArchivePair pair = opened(dir / "x.hed");
    names.push_back("data\\added");
    const std::size_t block = buildFilenameBlock(names).size();
    std::wstring error;
    const std::uint64_t before = bytesWritten();
    ASSERT_TRUE(put(pair, "data\\added", std::string(100, 'z'), error));
    const std::uint64_t written = bytesWritten() - before;
    EXPECT_EQ(written, 100 + block + 12 + 12);
    EXPECT_EQ(opened(dir / "x.hed").items.size(), 2001u);
}
#endif

// ---- Batches ---------------------------------------------------------------------------

using Entries = std::vector<std::pair<std::string, std::string>>;

bool putAll(ArchivePair& pair, const Entries& entries, std::wstring& error) {
    std::vector<std::vector<std::uint8_t>> bytes;
    for (const auto& [name, data] : entries) bytes.push_back(asBytes(data));
    std::vector<ItemReplacement> batch;
    for (std::size_t k = 0; k < entries.size(); ++k) batch.push_back({entries[k].first, bytes[k]});
    return pair.replaceItems(batch, error);
}

// What a reader finds: every item in index order with its flag word and bytes.
std::vector<std::tuple<std::string, std::uint32_t, std::string>> contents(const std::filesystem::path& hed) {
    const ArchivePair pair = opened(hed);
    const std::string dat = readFile(pair.datPath);
    std::vector<std::tuple<std::string, std::uint32_t, std::string>> found;
    for (const ArchiveItem& item : pair.items) {
        found.emplace_back(item.name, item.storedSizeWord, dat.substr(item.dataOffset, item.size));
    }
    return found;
}

TEST(ReplaceItems, RandomMixesLeaveTheSameItemsAsOneEntryAtATime) {
    const std::vector<std::string> names = {"a", "dup", "", "b", "dup", "Flagged"};
    const std::vector<std::string> pool = {"a",    "dup", "b",  "Flagged", "new1", "new2", "new3",
                                           "",     "NEW1", "new4", "new5",  "new6", "c"};
    for (unsigned seed = 1; seed <= 40; ++seed) {
        TempDir dir;
        writeNamedPair(dir / "batch.hed", names, 0x80000000u);
        writeNamedPair(dir / "single.hed", names, 0x80000000u);
        std::mt19937 random(seed);
        // A few batches in a row, each on a freshly opened pair as a patch run does.
        for (int round = 0; round < 3; ++round) {
            Entries entries;
            const std::size_t count = random() % 25;
            for (std::size_t k = 0; k < count; ++k) {
                entries.emplace_back(pool[random() % pool.size()],
                                     std::string(random() % 40, static_cast<char>('a' + (k + round) % 26)));
            }
            ArchivePair batch = opened(dir / "batch.hed");
            ArchivePair single = opened(dir / "single.hed");
            std::wstring error;
            ASSERT_TRUE(putAll(batch, entries, error)) << wideToUtf8(error);
            for (const auto& [name, data] : entries) ASSERT_TRUE(put(single, name, data, error));
            ASSERT_EQ(contents(dir / "batch.hed"), contents(dir / "single.hed")) << "seed " << seed;
            // The table in memory is the one the files now hold.
            EXPECT_EQ(batch.items, opened(dir / "batch.hed").items) << "seed " << seed;
        }
    }
}

TEST(ReplaceItems, EmptyBatchTouchesNothing) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    const Snapshot before(dir / "x.hed");
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    EXPECT_TRUE(pair.replaceItems({}, error));
    EXPECT_TRUE(error.empty());
    before.expectUnchanged();
}

// Single entries and batches open the pair through the same step.
TEST(ReplaceItems, PairNeverOpenedOrGoneIsRefused) {
    ArchivePair unopened;
    std::wstring error;
    EXPECT_FALSE(put(unopened, "a", "new", error));
    EXPECT_EQ(error, L"Archive was not opened.");

    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    ArchivePair pair = opened(dir / "x.hed");
    std::filesystem::remove(dir / "x.dat");
    EXPECT_FALSE(putAll(pair, {{"a", "new"}}, error));
    EXPECT_EQ(error, L"Could not reopen archive for writing.");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.dat"));
}

TEST(ReplaceItems, FailingEntryStopsTheBatchWithTheEntriesBeforeItStored) {
    const Entries entries = {{"a", "new a"},   {"c", "added c"}, {"b", "new b"},  {"c", "second c"},
                             {std::string("bad\0name", 8), "x"}, {"a", "never"}, {"d", "never"}};
    TempDir dir;
    writeNamedPair(dir / "batch.hed", {"a", "b"});
    writeNamedPair(dir / "single.hed", {"a", "b"});
    ArchivePair batch = opened(dir / "batch.hed");
    ArchivePair single = opened(dir / "single.hed");
    std::wstring error;
    EXPECT_FALSE(putAll(batch, entries, error));
    EXPECT_EQ(error, L"Could not finish filename rewrite.");
    std::wstring singleError;
    for (const auto& [name, data] : entries) {
        if (!put(single, name, data, singleError)) break;
    }
    EXPECT_EQ(singleError, error);
    EXPECT_EQ(contents(dir / "batch.hed"), contents(dir / "single.hed"));
    EXPECT_EQ(itemBytes(opened(dir / "batch.hed"), "c"), "second c");
    // Nothing of the entries after the failing one reached the .dat.
    EXPECT_EQ(readFile(dir / "batch.dat").find("never"), std::string::npos);
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
    explicit StringSource(std::string bytes, std::uint64_t failFrom = ~std::uint64_t{0})
        : bytes_(std::move(bytes)), failFrom_(failFrom) {}
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset + out.size() > failFrom_ || offset + out.size() > bytes_.size()) return false;
        std::memcpy(out.data(), bytes_.data() + offset, out.size());
        return true;
    }

private:
    std::string bytes_;
    std::uint64_t failFrom_;
};

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
    return bytes;
}

// Faults: a copy through the bounded buffer that loses its place after the
// first piece, and names sharing one range of a source that get a copy each.
TEST(ReplaceItemsFromASource, LargeItemsArriveWholeAndSharedRangesAreStoredOnce) {
    const std::size_t large = (5u << 19) + 7;  // two and a half pieces and a little
    const std::string bytes = pattern(large + 100);
    StringSource source(bytes);
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
    const ArchivePair reopened = opened(dir / "x.hed");
    EXPECT_EQ(itemBytes(reopened, "a"), bytes.substr(3, large));
    EXPECT_EQ(itemBytes(reopened, "added"), bytes.substr(3, large));
    EXPECT_EQ(itemBytes(reopened, "other"), bytes.substr(4, 10));
    EXPECT_EQ(itemBytes(reopened, "b"), "");
    const auto& items = reopened.items;
    EXPECT_EQ(items[reopened.nameIndex.at("a")].dataOffset, items[reopened.nameIndex.at("added")].dataOffset);
    // One copy of the shared range, the short one, and the new block.
    const std::uint64_t block = 4 + 2 + 2 + 6 + 6;
    EXPECT_EQ(std::filesystem::file_size(dir / "x.dat"), datBefore + large + 10 + block);
}

// Fault: a source that cannot deliver its bytes (a patch file cut after it
// was checked) storing whatever the buffer held; like a full disk, it
// commits nothing of the batch.
TEST(ReplaceItemsFromASource, UnreadableSourceStoresNothingOfTheBatch) {
    const std::string bytes = pattern(3u << 20);
    StringSource source(bytes, (3u << 20) - 5);
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    ArchivePair pair = opened(dir / "x.hed");
    const std::vector<ItemReplacement> entries = {
        {"a", {}, &source, 0, 100}, {"b", {}, &source, 100, (3u << 20) - 100}, {"c", {}, &source, 0, 1}};
    std::wstring error;
    EXPECT_FALSE(pair.replaceItems(entries, error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    const ArchivePair reopened = opened(dir / "x.hed");
    EXPECT_EQ(itemBytes(reopened, "a"), "a#0");
    EXPECT_EQ(itemBytes(reopened, "b"), "b#0");
    EXPECT_EQ(reopened.nameIndex.count("c"), 0u);
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
    for (std::size_t k = 0; k < std::size(attempts); ++k) {
        SCOPED_TRACE(k);
        TempDir dir;
        writeNamedPair(dir / "x.hed", {"a", "b"});
        const Snapshot before(dir / "x.hed");
        ArchivePair pair = opened(dir / "x.hed");
        const auto itemsBefore = pair.items;
        std::wstring error;
        EXPECT_FALSE(attempts[k](pair, error));
        EXPECT_EQ(error, L"Could not finish filename rewrite.");
        before.expectUnchanged();
        if (k == 0) {
            EXPECT_EQ(pair.items, itemsBefore);
        }
    }
}

TEST(ReplaceItemsLimits, DataBeyondFourGibibytesStopsTheBatchAtThatEntry) {
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a", "b"});
    growDat(dir / "x.dat", 0xFFFFFF00u);
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    EXPECT_FALSE(putAll(pair, {{"a", std::string(0x80, 'y')}, {"b", std::string(0x81, 'z')}}, error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    EXPECT_EQ(fileSize(dir / "x.dat"), 0xFFFFFF80u);
    const ArchivePair again = opened(dir / "x.hed");
    EXPECT_EQ(again.items[0].dataOffset, 0xFFFFFF00u);
    EXPECT_EQ(again.items[0].size, 0x80u);
    EXPECT_EQ(again.items[1].dataOffset, 16u + 3u);  // "b"'s data as written first
}

TEST(ReplaceItemsLimits, ReplacementThatWouldPushTheNewBlockOutOfReachStopsTheBatch) {
    // The batch's new block follows all of its data: an entry whose data
    // would put it beyond the signed offset ends the batch there, and the
    // addition before it is stored with its block still in reach.
    TempDir dir;
    writeNamedPair(dir / "x.hed", {"a"});
    growDat(dir / "x.dat", 0x7FFFFFF0u);
    ArchivePair pair = opened(dir / "x.hed");
    std::wstring error;
    EXPECT_FALSE(putAll(pair, {{"b", "1"}, {"a", std::string(0x20, 'y')}}, error));
    EXPECT_EQ(error, L"Could not append replacement data.");
    const ArchivePair again = opened(dir / "x.hed");
    ASSERT_EQ(again.items.size(), 2u);
    EXPECT_EQ(again.items[1].dataOffset, 0x7FFFFFF0u);
    EXPECT_EQ(again.items[0].dataOffset, 16u);
    EXPECT_EQ(word(readFile(dir / "x.hed"), 0), 0x7FFFFFF1u);
}

#ifdef __linux__
TEST(ReplaceItems, BatchWritesItsDataOneBlockAndOnlyTheHeadersItChanges) {
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
    const std::size_t block = buildFilenameBlock(names).size();
    std::wstring error;
    const std::uint64_t before = bytesWritten();
    ASSERT_TRUE(putAll(pair, entries, error)) << wideToUtf8(error);
    const std::uint64_t written = bytesWritten() - before;
    EXPECT_EQ(written, 500 * 40 + 300 * 60 + block + 300 * 12 + 12 + 500 * 12);
    EXPECT_EQ(opened(dir / "x.hed").items.size(), 2300u);
}
#endif

// ---- Interruption --------------------------------------------------------------------

#ifndef _WIN32
// Checks the pair after the child was stopped: it opens, every item holds
// exactly one generation's whole content, and the generations are those of
// some prefix of the workload (each step either fully done or not at all).
using Generations = std::map<std::string, std::uint32_t>;

// Opens the pair and reads each item's generation, checking that the item
// holds exactly that generation's whole content.
void readGenerations(const std::filesystem::path& hed, Generations& seen) {
    ArchivePair pair;
    std::wstring error;
    ASSERT_TRUE(pair.open(hed, error)) << wideToUtf8(error);
    const std::string dat = readFile(pair.datPath);
    for (const ArchiveItem& item : pair.items) {
        ASSERT_LE(std::uint64_t{item.dataOffset} + item.size, dat.size()) << item.name;
        const std::string content = dat.substr(item.dataOffset, item.size);
        const std::string prefix = item.name + "|";
        ASSERT_EQ(content.compare(0, prefix.size(), prefix), 0) << item.name;
        const auto generation = static_cast<std::uint32_t>(std::stoul(content.substr(prefix.size())));
        ASSERT_EQ(content, test::workloadContent(item.name, generation)) << item.name;
        ASSERT_TRUE(seen.emplace(item.name, generation).second) << item.name;
    }
}

// The child stores the workload in batches (of one step each when it stores
// them one at a time): the batches before some batch b are stored, those
// after it are not, and within b every item holds its old or its new
// generation, with b's new items all present or all absent. `state` is 2b,
// 2b + 1 while b was in progress, or twice the number of batches when all
// are stored.
void expectOldOrNewPerBatch(const std::filesystem::path& hed, const std::vector<test::WorkloadStep>& steps,
                            std::size_t batchSize, std::size_t& state) {
    Generations seen;
    readGenerations(hed, seen);
    if (::testing::Test::HasFatalFailure()) return;

    Generations before;
    for (const std::string& name : test::workloadInitialNames()) before[name] = 0;
    for (std::size_t first = 0; first < steps.size(); first += batchSize) {
        Generations after = before;
        for (std::size_t k = first; k < std::min(steps.size(), first + batchSize); ++k) {
            after[steps[k].name] = steps[k].generation;
        }
        if (seen == before) {
            state = 2 * (first / batchSize);
            return;
        }
        bool consistent = true;
        std::size_t addedSeen = 0;
        std::size_t added = 0;
        for (const auto& [name, generation] : after) {
            const auto old = before.find(name);
            const auto found = seen.find(name);
            if (old == before.end()) {
                ++added;
                if (found == seen.end()) continue;
                ++addedSeen;
            } else if (found == seen.end()) {
                consistent = false;
                break;
            }
            if (found->second != generation && (old == before.end() || found->second != old->second)) {
                consistent = false;
                break;
            }
        }
        if (consistent && seen.size() == before.size() + addedSeen && (addedSeen == 0 || addedSeen == added)) {
            state = 2 * (first / batchSize) + (seen == after ? 2 : 1);
            return;
        }
        before = std::move(after);
    }
    ASSERT_EQ(seen, before) << "the pair is in no state a batch could leave";
    state = 2 * ((steps.size() + batchSize - 1) / batchSize);
}

struct ChildRun {
    bool killed = false;
    std::size_t stepsDone = 0;  // the state expectOldOrNewPerBatch found
    std::chrono::microseconds ran{0};  // from "ready" to the child's end
};

// Starts the child on `hed`, waits for it to begin, lets it run for `delay`
// (or to its end when negative), kills it and checks the pair. With a batch
// size, the child stores the steps in batches of that many.
ChildRun runChild(const std::filesystem::path& hed, int stepCount, std::chrono::microseconds delay,
                  int batchSize = 0) {
    ChildRun run;
    int ready[2];
    if (pipe(ready) != 0) {
        ADD_FAILURE() << "no pipe";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ready[0]);
    const std::string program = KIV_ARCHIVE_UPDATE_CHILD;
    const std::string hedText = hed.string();
    const std::string stepsText = std::to_string(stepCount);
    const std::string batchText = std::to_string(batchSize);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(hedText.c_str()),
                    const_cast<char*>(stepsText.c_str()), batchSize > 0 ? const_cast<char*>(batchText.c_str()) : nullptr,
                    nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    if (spawned != 0) {
        ADD_FAILURE() << "could not start " << program;
        close(ready[0]);
        return run;
    }
    char buffer[8];
    const ssize_t got = read(ready[0], buffer, sizeof buffer);
    const auto began = std::chrono::steady_clock::now();
    close(ready[0]);
    EXPECT_GT(got, 0) << "the child stopped before it began";
    if (delay.count() >= 0) {
        std::this_thread::sleep_for(delay);
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run.ran = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    run.killed = WIFSIGNALED(status);
    if (!run.killed) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
    }
    expectOldOrNewPerBatch(hed, test::workloadSteps(stepCount), static_cast<std::size_t>(std::max(batchSize, 1)),
                           run.stepsDone);
    return run;
}


// Runs the child to its end a few times to learn how long the series takes,
// then kills fresh copies of the workload pair at `kKillPoints` random
// instants over that span, checking the pair after each.
struct KillSeries {
    int killedMidway = 0;
    int insideBatch = 0;
    std::set<std::size_t> states;
    long long spanMs = 0;
};
constexpr int kKillPoints = 300;

KillSeries killAtRandomPoints(const std::filesystem::path& dir, int steps, int batch, unsigned seed) {
    KillSeries series;
    test::writeWorkloadPair(dir / "template.hed");
    const auto fresh = [&dir](const std::string& base) {
        for (const char* extension : {".hed", ".dat"}) {
            std::filesystem::copy_file(dir / ("template" + std::string(extension)), dir / (base + extension),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        return dir / (base + ".hed");
    };
    const auto finalState = static_cast<std::size_t>(2 * steps / std::max(batch, 1));
    std::chrono::microseconds span{0};
    for (int run = 0; run < 3; ++run) {
        const ChildRun whole = runChild(fresh("whole"), steps, std::chrono::microseconds(-1), batch);
        EXPECT_FALSE(whole.killed);
        EXPECT_EQ(whole.stepsDone, finalState);
        if (::testing::Test::HasFailure()) return series;
        span = std::max(span, whole.ran);
    }
    series.spanMs = span.count() / 1000;
    std::mt19937 random(seed);
    std::uniform_int_distribution<long long> when(0, span.count());
    for (int point = 0; point < kKillPoints; ++point) {
        const ChildRun run = runChild(fresh("trial"), steps, std::chrono::microseconds(when(random)), batch);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "at kill point " << point;
            return series;
        }
        if (run.killed) {
            ++series.killedMidway;
            series.insideBatch += static_cast<int>(run.stepsDone % 2);
            series.states.insert(run.stepsDone);
        }
    }
    ::testing::Test::RecordProperty("kill_points", kKillPoints);
    ::testing::Test::RecordProperty("killed_midway", series.killedMidway);
    return series;
}

TEST(ReplaceItemInterruption, ProcessKilledAtAnyPointLeavesEveryItemOldOrNew) {
    constexpr int kSteps = 300;
    ScratchDir dir;
    const KillSeries series = killAtRandomPoints(dir.path(), kSteps, 0, 29);
    if (HasFailure()) return;
    std::printf("[ interruption ] %d kill points, %d while the series ran, leaving %zu different numbers of "
                "steps done (of %d); full run %lld ms\n",
                kKillPoints, series.killedMidway, series.states.size(), kSteps, series.spanMs);
    // Kills that all land before the first step or after the last test
    // nothing; a busy machine still leaves many more than these.
    EXPECT_GE(series.killedMidway, kKillPoints / 10);
    EXPECT_GE(series.states.size(), 20u);
}

TEST(ReplaceItemsInterruption, ProcessKilledAtAnyPointLeavesEveryItemOldOrNewAndAdditionsAllOrNone) {
    constexpr int kSteps = 900;
    constexpr int kBatch = 30;
    // On disk, where the flushes take real time: they stand around the
    // points that commit a batch, so kills land inside a batch's writes too.
    TempDir dir;
    const KillSeries series = killAtRandomPoints(dir.path(), kSteps, kBatch, 31);
    if (HasFailure()) return;
    std::printf("[ interruption ] batches of %d: %d kill points, %d while the series ran, %d inside a batch "
                "(some items new, some old), leaving %zu different states (of %d); full run %lld ms\n",
                kBatch, kKillPoints, series.killedMidway, series.insideBatch, series.states.size(),
                2 * kSteps / kBatch + 1, series.spanMs);
    EXPECT_GE(series.killedMidway, kKillPoints / 10);
    EXPECT_GE(series.insideBatch, 5);
    EXPECT_GE(series.states.size(), 15u);
}
#endif

}  // namespace
}  // namespace kiv

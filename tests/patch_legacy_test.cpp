#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::legacyFile;
using test::legacyGraph;
using test::NrbfWriter;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

// ---- Decryption -------------------------------------------------------------

class LegacyDecryption : public ::testing::Test {
protected:
    std::wstring decrypt(std::string_view file, std::vector<std::uint8_t>& plaintext) {
        test::writeFile(directory / "p.cab", file);
        std::wstring error = L"untouched";
        if (decryptLegacyPatch(directory / "p.cab", plaintext, error)) {
            EXPECT_EQ(error, L"untouched");
            return L"";
        }
        return error;
    }

    test::TempDir directory;
};

TEST_F(LegacyDecryption, FixtureFromTheCommandLineToolDecryptsAndReadsAsAPatch) {
    // legacy_sample.cab was encrypted by the openssl command line with a key
    // from Python's PBKDF2 (tests/data/make_legacy_sample.py).
    std::vector<std::uint8_t> plaintext;
    std::wstring error;
    ASSERT_TRUE(decryptLegacyPatch(test::dataDirectory() / "legacy_sample.cab", plaintext, error)) << wideToUtf8(error);
    EXPECT_EQ(plaintext, bytesOf(test::readFile(test::dataDirectory() / "legacy_sample.plain")));

    PatchSet set;
    ASSERT_TRUE(readLegacyPatch(test::dataDirectory() / "legacy_sample.cab", set, error)) << wideToUtf8(error);
    EXPECT_EQ(set.archivePath, L"data\\kiv_ui.hed");
    ASSERT_EQ(set.entries.size(), 3u);
    EXPECT_EQ(set.entries[0], (PatchEntry{"readme.txt", bytesOf("KIV legacy patch fixture\r\n")}));
    EXPECT_EQ(set.entries[1].name, "ui_icons.bmp");
    ASSERT_EQ(set.entries[1].data.size(), 300u);
    for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(set.entries[1].data[i], static_cast<std::uint8_t>(i * 37 + 11));
    EXPECT_EQ(set.entries[2], (PatchEntry{"empty.dat", {}}));
}

TEST_F(LegacyDecryption, ManySegmentsAcrossChunkBoundariesDecrypt) {
    // More than one chunk of the in-place decryption, and not a multiple of it.
    std::string content((64 * 1024 + 3) * 16 + 5, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131) ^ (i >> 9));
    std::vector<std::uint8_t> plaintext;
    EXPECT_EQ(decrypt(legacyFile(content), plaintext), L"");
    EXPECT_EQ(plaintext, bytesOf(content));
}

TEST_F(LegacyDecryption, FileOfThirtyTwoBytesOrLessCannotBeRead) {
    std::vector<std::uint8_t> plaintext;
    EXPECT_EQ(decrypt(std::string(32, 'x'), plaintext), L"Could not read legacy .cab patch.");
    std::wstring error;
    EXPECT_FALSE(decryptLegacyPatch(directory / "absent.cab", plaintext, error));
    EXPECT_EQ(error, L"Could not read legacy .cab patch.");
}

TEST_F(LegacyDecryption, FileOfFourGibibytesIsRefusedBeforeItsBufferIsSized) {
    // A sparse file: the length is there, the disk blocks are not.
    {
        File file;
        ASSERT_TRUE(file.open(directory / "huge.cab", File::Mode::create));
        ASSERT_TRUE(file.truncate(std::uint64_t{1} << 32));
    }
    std::vector<std::uint8_t> plaintext;
    std::wstring error;
    EXPECT_FALSE(decryptLegacyPatch(directory / "huge.cab", plaintext, error));
    EXPECT_EQ(error, L"Could not read legacy .cab patch.");
    EXPECT_EQ(plaintext.capacity(), 0u);
}

TEST_F(LegacyDecryption, PartialLastSegmentCannotBeDecrypted) {
    std::string file = legacyFile("content");
    std::vector<std::uint8_t> plaintext;
    EXPECT_EQ(decrypt(file.substr(0, file.size() - 1), plaintext), L"Could not decrypt legacy .cab patch.");
    EXPECT_EQ(decrypt(std::string(33, 'x'), plaintext), L"Could not decrypt legacy .cab patch.");
}

TEST_F(LegacyDecryption, FullPaddingBlockIsRemovedExactly) {
    std::vector<std::uint8_t> plaintext;
    EXPECT_EQ(decrypt(legacyFile(std::string(32, 'k')), plaintext), L"");
    EXPECT_EQ(plaintext, bytesOf(std::string(32, 'k')));
    // Content that is padding-like itself loses only the padding.
    EXPECT_EQ(decrypt(test::encryptLegacy(std::string(32, '\x10')), plaintext), L"");
    EXPECT_EQ(plaintext, bytesOf(std::string(16, '\x10')));
}

TEST_F(LegacyDecryption, BadPaddingIsRejected) {
    std::vector<std::uint8_t> plaintext;
    const std::string body(15, 'b');
    EXPECT_EQ(decrypt(test::encryptLegacy(body + '\x00'), plaintext), L"Legacy .cab padding is invalid.");
    EXPECT_EQ(decrypt(test::encryptLegacy(body + '\x11'), plaintext), L"Legacy .cab padding is invalid.");
    EXPECT_EQ(decrypt(test::encryptLegacy(std::string(13, 'b') + "\x02\x03\x03"), plaintext),
              L"Legacy .cab padding is invalid.");
}

// ---- Scan -------------------------------------------------------------------

class LegacyScan : public ::testing::Test {
protected:
    std::wstring parse(std::string_view plaintext) {
        set = PatchSet{};
        std::wstring error = L"untouched";
        if (parseLegacyPatch(std::span(reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size()),
                             set, error)) {
            EXPECT_EQ(error, L"untouched");
            return L"";
        }
        return error;
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const PatchEntry& entry : set.entries) out.push_back(entry.name);
        return out;
    }

    PatchSet set;
};

TEST_F(LegacyScan, GraphOfTheOldBuilderGivesPathAndEntries) {
    EXPECT_EQ(parse(legacyGraph("data\\kiv_ui.hed", {{"a.txt", "alpha"}, {"b.bmp", std::string("\0\x06\x0F", 3)}})),
              L"");
    EXPECT_EQ(set.archivePath, L"data\\kiv_ui.hed");
    ASSERT_EQ(set.entries.size(), 2u);
    EXPECT_EQ(set.entries[0], (PatchEntry{"a.txt", bytesOf("alpha")}));
    EXPECT_EQ(set.entries[1], (PatchEntry{"b.bmp", bytesOf(std::string("\0\x06\x0F", 3))}));
}

TEST_F(LegacyScan, ArchivePathIsTheFirstLowerCaseHedStringInUtf8) {
    NrbfWriter w;
    w.string(1, "first.HED").string(2, "second.hed").string(3, "third.hed");
    w.string(4, "a.txt").reference(9).byteArray(9, "x");
    EXPECT_EQ(parse(w.bytes()), L"");
    EXPECT_EQ(set.archivePath, L"second.hed");
    EXPECT_EQ(parse(NrbfWriter().string(1, "only.HED").string(4, "a.txt").reference(9).byteArray(9, "x").bytes()),
              L"Legacy .cab patch does not contain an archive path.");
    // Decoded as UTF-8.
    EXPECT_EQ(parse(NrbfWriter().string(1, "\xC3\xA9.hed").string(4, "a.txt").reference(9).byteArray(9, "").bytes()),
              L"");
    EXPECT_EQ(set.archivePath, L"\u00E9.hed");
}

TEST_F(LegacyScan, UnsuitableFileNamesNeverBecomeEntries) {
    NrbfWriter w;
    w.string(1, "x.hed");
    const std::string refused[] = {"dir\\a.txt", "dir/a.txt", std::string(257, 'n') + ".txt", "noextension",
                                   "tab\t.txt", "high\x80.txt", ""};
    std::int32_t id = 100;
    for (const std::string& name : refused) {
        w.string(id, name).reference(id + 1).byteArray(id + 1, "data");
        id += 2;
    }
    EXPECT_EQ(parse(w.bytes()), L"Legacy .cab patch does not contain file entries.");
    // 260 bytes is still a name.
    const std::string longest = std::string(256, 'n') + ".txt";
    EXPECT_EQ(parse(NrbfWriter().string(1, "x.hed").string(2, longest).reference(3).byteArray(3, "d").bytes()), L"");
    EXPECT_EQ(names(), std::vector<std::string>{longest});
}

TEST_F(LegacyScan, SharedAndRepeatedArraysFollowTheStream) {
    NrbfWriter w;
    w.string(1, "x.hed").string(2, "one.txt").reference(7).string(3, "two.txt").reference(7);
    w.byteArray(7, "first").byteArray(7, "second");
    EXPECT_EQ(parse(w.bytes()), L"");
    ASSERT_EQ(set.entries.size(), 2u);
    EXPECT_EQ(set.entries[0], (PatchEntry{"one.txt", bytesOf("second")}));
    EXPECT_EQ(set.entries[1], (PatchEntry{"two.txt", bytesOf("second")}));
}

TEST_F(LegacyScan, CandidateWithoutArrayIsDroppedSilently) {
    NrbfWriter w;
    w.string(1, "x.hed").string(2, "lost.txt").reference(8).string(3, "kept.txt").reference(9).byteArray(9, "k");
    EXPECT_EQ(parse(w.bytes()), L"");
    EXPECT_EQ(names(), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(parse(NrbfWriter().string(1, "x.hed").string(2, "lost.txt").reference(8).bytes()),
              L"Legacy .cab patch does not contain file entries.");
}

TEST_F(LegacyScan, ArraysThatCannotBeCapturedYieldNoEntry) {
    const auto named = [] { return NrbfWriter().string(1, "x.hed").string(2, "a.txt").reference(7); };
    const std::pair<const char*, std::string> cases[] = {
        {"array before its name", NrbfWriter().string(1, "x.hed").byteArray(7, "early").string(2, "a.txt").reference(7).bytes()},
        {"other element type", named().primitiveArray(7, 2, 8, "\x01\x02").bytes()},
        {"negative count", named().primitiveArray(7, -1, 2, "").bytes()},
        {"past the end", named().primitiveArray(7, 10, 2, "short").bytes()},
        {"count wrapping a 32-bit sum", named().primitiveArray(7, 0x7FFFFFFF, 2, "x").bytes()},
    };
    for (const auto& [what, stream] : cases) {
        EXPECT_EQ(parse(stream), L"Legacy .cab patch does not contain file entries.") << what;
    }
}

TEST_F(LegacyScan, HedStringFollowedByAReferenceIsPathAndEntry) {
    EXPECT_EQ(parse(NrbfWriter().string(1, "kiv.hed").reference(5).byteArray(5, "index").bytes()), L"");
    EXPECT_EQ(set.archivePath, L"kiv.hed");
    ASSERT_EQ(set.entries.size(), 1u);
    EXPECT_EQ(set.entries[0], (PatchEntry{"kiv.hed", bytesOf("index")}));
}

TEST_F(LegacyScan, EntriesFollowTheOrderOfTheirNames) {
    NrbfWriter w;
    w.string(1, "x.hed").string(2, "z.txt").reference(20).string(3, "a.txt").reference(10);
    w.byteArray(10, "A").byteArray(20, "Z");
    EXPECT_EQ(parse(w.bytes()), L"");
    EXPECT_EQ(names(), (std::vector<std::string>{"z.txt", "a.txt"}));
}

TEST_F(LegacyScan, StringBytesAreScannedToo) {
    // A string whose text contains a whole name record: found by the scan
    // going on at the next byte rather than after the string.
    const std::string inner = NrbfWriter().string(2, "in.txt").reference(7).bytes();
    NrbfWriter w;
    w.string(1, "x.hed").string(3, inner).byteArray(7, "inner");
    EXPECT_EQ(parse(w.bytes()), L"");
    EXPECT_EQ(names(), std::vector<std::string>{"in.txt"});
}

TEST_F(LegacyScan, ArrayContentIsSkippedNotScanned) {
    // A name record hidden inside a captured array's content is not seen.
    const std::string hidden = NrbfWriter().string(2, "hidden.txt").reference(8).bytes();
    NrbfWriter w;
    w.string(1, "x.hed").string(3, "a.txt").reference(7).byteArray(7, hidden).byteArray(8, "h");
    EXPECT_EQ(parse(w.bytes()), L"");
    EXPECT_EQ(names(), std::vector<std::string>{"a.txt"});
}

TEST_F(LegacyScan, LengthPrefixesOfSeveralBytesAndOverlongOnesAreHandled) {
    const std::string name = std::string(200, 'm') + ".txt";  // two-byte prefix
    EXPECT_EQ(parse(NrbfWriter().string(1, "x.hed").string(2, name).reference(3).byteArray(3, "d").bytes()), L"");
    EXPECT_EQ(names(), std::vector<std::string>{name});
    // Five bytes all with the high bit set: rejected, no crash, no wrap.
    const std::string bad = std::string("\x06") + test::le32(1) + std::string(5, '\xFF') + "x.hed";
    EXPECT_EQ(parse(bad), L"Legacy .cab patch does not contain an archive path.");
    // A prefix that claims more than remains.
    const std::string longClaim = std::string("\x06") + test::le32(1) + "\xFF\xFF\xFF\xFF\x0F" + "x.hed";
    EXPECT_EQ(parse(longClaim), L"Legacy .cab patch does not contain an archive path.");
}

TEST_F(LegacyScan, TruncatedRecordsAtTheEndAreSafe) {
    const std::string full = legacyGraph("x.hed", {{"a.txt", "alpha"}});
    // Everything but the closing record is needed.
    for (std::size_t length = 0; length + 1 < full.size(); ++length) {
        const std::wstring error = parse(full.substr(0, length));
        EXPECT_NE(error, L"") << length;
    }
    EXPECT_EQ(parse(full), L"");
}

// ---- Streaming -------------------------------------------------------------

// The entries of an opened legacy patch with their bytes read through its
// content, in the form `PatchSet` gives them.
std::wstring openAndRead(const std::filesystem::path& path, PatchSet& set) {
    OpenedPatch patch;
    std::wstring error;
    if (!openLegacyPatch(path, patch, error)) return error;
    set.archivePath = patch.archivePath;
    for (const PatchEntryRange& range : patch.entries) {
        PatchEntry entry{range.name, std::vector<std::uint8_t>(static_cast<std::size_t>(range.size))};
        if (!patch.content->read(range.offset, entry.data)) return L"<unreadable range>";
        set.entries.push_back(std::move(entry));
    }
    return L"";
}

// Fault: a scan through the moving window that loses or misreads a record
// lying across the window's edge, or a long string whose end lies beyond it.
// The plaintext is over 1 MiB, the window's size, and the records are slid
// across that boundary.
TEST(LegacyStreaming, WindowedScanFindsWhatTheScanInMemoryFinds) {
    const std::string longName(5000, 'n');
    for (std::size_t shift : {0u, 1u, 3u, 5u, 8u, 11u, 14u, 300u, 5020u}) {
        SCOPED_TRACE(shift);
        NrbfWriter w;
        w.raw(std::string((1u << 20) - 8 - shift, 'f'));
        w.string(2, "a.txt").reference(7).string(1, longName + ".hed").string(3, "b.bmp").reference(8);
        w.byteArray(7, std::string(3000, '\x06')).string(4, "c.txt").reference(7).byteArray(8, "late");
        w.byteArray(7, "second");
        const std::string plaintext = w.bytes();
        PatchSet expected;
        std::wstring error;
        ASSERT_TRUE(parseLegacyPatch(std::span(reinterpret_cast<const std::uint8_t*>(plaintext.data()),
                                               plaintext.size()),
                                     expected, error))
            << wideToUtf8(error);
        test::TempDir directory;
        test::writeFile(directory / "p.cab", legacyFile(plaintext));
        PatchSet streamed;
        ASSERT_EQ(openAndRead(directory / "p.cab", streamed), L"");
        EXPECT_EQ(streamed.archivePath, expected.archivePath);
        EXPECT_EQ(streamed.entries, expected.entries);
    }
}

// Fault: every name copying the array it points at, so that a small file
// whose many names share one large array asks for an amount of memory (or
// of disk) many times its own size.
TEST(LegacyStreaming, ManyNamesOnOneArrayShareItInsteadOfCopyingIt) {
    NrbfWriter w;
    w.string(1, "x.hed");
    constexpr int kNames = 3000;
    for (int k = 0; k < kNames; ++k) {
        w.string(10 + k, std::string(1, 'n').append(std::to_string(k)).append(".txt")).reference(5);
    }
    const std::string array(256 * 1024, 'a');
    w.byteArray(5, array);
    test::TempDir directory;
    test::writeFile(directory / "many.cab", legacyFile(w.bytes()));

    OpenedPatch patch;
    std::wstring error;
    ASSERT_TRUE(openLegacyPatch(directory / "many.cab", patch, error)) << wideToUtf8(error);
    ASSERT_EQ(patch.entries.size(), static_cast<std::size_t>(kNames));
    for (const PatchEntryRange& entry : patch.entries) {
        EXPECT_EQ(entry.offset, patch.entries[0].offset);
        EXPECT_EQ(entry.size, array.size());
    }
    // Held in memory, the copies would come to 750 MiB: refused.
    PatchSet set;
    EXPECT_FALSE(readLegacyPatch(directory / "many.cab", set, error));
    EXPECT_EQ(error, L"Legacy .cab patch names more data than it holds.");

    // Applied, the array is stored once for all the names.
    test::writeArchive(directory / "x.hed", {{"n0.txt", "old"}});
    std::filesystem::create_directories(directory / "patches");
    std::filesystem::rename(directory / "many.cab", directory / "patches" / "many.cab");
    class Quiet : public Reporter {
        void setStatusText(StatusRow, const std::wstring&) override {}
        void setProgress(StatusRow, int) override {}
        void setTitle(const std::wstring&) override {}
        void showMessage(const std::wstring&, MessageIcon) override {}
        void setClientReady(bool) override {}
        void invalidateStatusBand() override {}
    } reporter;
    ASSERT_TRUE(applyPatches(directory.path(), directory / "patches", reporter, error)) << wideToUtf8(error);
    EXPECT_LT(std::filesystem::file_size(directory / "x.dat"), array.size() + 64 * 1024);
    const auto items = test::readArchive(directory / "x.hed");
    ASSERT_EQ(items.size(), static_cast<std::size_t>(kNames));
    EXPECT_EQ(items.back(), (std::pair<std::string, std::string>{"n2999.txt", array}));
}

}  // namespace
}  // namespace kiv

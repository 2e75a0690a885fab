#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::Items;
using test::NrbfWriter;

using test::asBytes;

TEST(LegacyDecryption, PlaintextOrMessageOfEachFile) {
    // More than one chunk of the in-place decryption, and not a multiple of it.
    const std::string large = test::pattern((64 * 1024 + 3) * 16 + 5);
    const std::wstring badPadding = L"Legacy .cab padding is invalid.";
    const struct {
        const char* name;
        std::string file;
        std::wstring error;
        std::string plaintext = {};
        std::uint64_t sparseSize = 0;  // made that long without disk blocks
    } rows[] = {
        // Made by other tools: the openssl command line, with a key from
        // Python's PBKDF2 (tests/data/make_legacy_sample.py).
        {"sample", test::readFile(test::dataDirectory() / "legacy_sample.cab"), L"",
         test::readFile(test::dataDirectory() / "legacy_sample.plain")},
        {"many segments", test::legacyFile(large), L"", large},
        // A whole block of padding, after content that looks like padding.
        {"content like padding", test::encryptLegacy(std::string(32, '\x10')), L"", std::string(16, '\x10')},
        {"salt only", std::string(32, 'x'), L"Could not read legacy .cab patch."},
        // Refused before a buffer is sized for it.
        {"4 GiB", "", L"Could not read legacy .cab patch.", "", std::uint64_t{1} << 32},
        // The salt and 15 bytes of ciphertext.
        {"partial last segment", test::legacyFile("content").substr(0, 47), L"Could not decrypt legacy .cab patch."},
        {"zero padding", test::encryptLegacy(std::string(15, 'b') + '\x00'), badPadding},
        {"padding over a block", test::encryptLegacy(std::string(15, 'b') + '\x11'), badPadding},
        {"uneven padding", test::encryptLegacy(std::string(13, 'b') + "\x02\x03\x03"), badPadding},
    };
    test::TempDir directory;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::writeFile(directory / "p.cab", row.file);
        if (row.sparseSize != 0) std::filesystem::resize_file(directory / "p.cab", row.sparseSize);
        std::vector<std::uint8_t> plaintext;
        std::wstring error;
        EXPECT_EQ(decryptLegacyPatch(directory / "p.cab", plaintext, error), row.error.empty());
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(std::string(plaintext.begin(), plaintext.end()), row.plaintext);
    }
}

TEST(LegacyScan, FindsPathAndEntriesInTheRecordsAroundThem) {
    const std::wstring noPath = L"Legacy .cab patch does not contain an archive path.";
    const std::wstring noEntries = L"Legacy .cab patch does not contain file entries.";
    const auto named = [] { return NrbfWriter().string(1, "x.hed").string(2, "a.txt").reference(7); };
    const std::string longest = std::string(256, 'n') + ".txt";  // 260 bytes, with a length prefix of two
    const std::string inner = NrbfWriter().string(2, "in.txt").reference(7).bytes;
    const std::string hidden = NrbfWriter().string(2, "hidden.txt").reference(8).bytes;
    std::string icons;
    for (int i = 0; i < 300; ++i) icons += static_cast<char>(i * 37 + 11);
    const struct {
        const char* name;
        std::string stream;
        std::wstring error;
        Items entries = {};
        std::wstring path = L"x.hed";
    } rows[] = {
        // The whole graph of the old builder, class records and all.
        {"sample", test::readFile(test::dataDirectory() / "legacy_sample.plain"), L"",
         {{"readme.txt", "KIV legacy patch fixture\r\n"}, {"ui_icons.bmp", icons}, {"empty.dat", ""}},
         L"data\\kiv_ui.hed"},
        {"the first lower-case .hed string is the path, in UTF-8",
         NrbfWriter().string(1, "a.HED").string(2, "\xC3\xA9.hed").bytes + named().byteArray(7, "x").bytes, L"",
         {{"a.txt", "x"}}, L"\u00E9.hed"},
        {"no lower-case .hed string", NrbfWriter().string(1, "a.HED").bytes, noPath},
        // Longer than any path Windows opens: passed over, never held whole.
        {"a .hed string of 40,000 bytes is not the path",
         NrbfWriter().string(1, std::string(40000, 'p') + ".hed").bytes + named().byteArray(7, "x").bytes, L"",
         {{"a.txt", "x"}}},
        {"unsuitable names",
         test::legacyGraph("x.hed", {{"dir\\a.txt", "d"}, {"dir/a.txt", "d"}, {longest + "x", "d"}, {"tab\t.txt", "d"},
                                     {"noextension", "d"}, {"high\x80.txt", "d"}, {"", "d"}, {longest, "d"}}),
         L"", {{longest, "d"}}},
        {"a .hed name is also the path", test::legacyGraph("", {{"kiv.hed", "index"}}), L"", {{"kiv.hed", "index"}},
         L"kiv.hed"},
        {"shared and repeated arrays",
         named().string(3, "b.txt").reference(7).byteArray(7, "first").byteArray(7, "second").bytes, L"",
         {{"a.txt", "second"}, {"b.txt", "second"}}},
        {"entries in the order of their names, those without an array dropped",
         named().string(3, "lost.txt").reference(30).string(4, "b.txt").reference(5).byteArray(5, "B")
             .byteArray(7, "A").bytes,
         L"", {{"a.txt", "A"}, {"b.txt", "B"}}},
        {"array before its name",
         NrbfWriter().string(1, "x.hed").byteArray(7, "early").string(2, "a.txt").reference(7).bytes, noEntries},
        {"other element type", named().primitiveArray(7, 2, 8, "\x01\x02").bytes, noEntries},
        {"past the end", named().primitiveArray(7, 10, 2, "short").bytes, noEntries},
        {"count wrapping a 32-bit sum", named().primitiveArray(7, 0x7FFFFFFF, 2, "x").bytes, noEntries},
        // The scan goes on at the next byte of a string, but after an array.
        {"string bytes are scanned", NrbfWriter().string(1, "x.hed").string(3, inner).byteArray(7, "in").bytes, L"",
         {{"in.txt", "in"}}},
        {"array content is skipped", named().byteArray(7, hidden).byteArray(8, "h").bytes, L"", {{"a.txt", hidden}}},
        {"overlong length prefix", '\x06' + test::le32(1) + std::string(5, '\xFF') + "x.hed", noPath},
        {"length beyond the end", '\x06' + test::le32(1) + "\xFF\xFF\xFF\xFF\x0F" + "x.hed", noPath},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PatchSet set;
        std::wstring error;
        EXPECT_EQ(parseLegacyPatch(asBytes(row.stream), set, error), row.error.empty());
        EXPECT_EQ(error, row.error);
        if (!row.error.empty()) continue;
        EXPECT_EQ(set.archivePath, row.path);
        EXPECT_EQ(test::itemsOf(set), row.entries);
    }
}

// Fault: a scan through the moving window that loses or misreads a record
// lying across the window's edge, or a long string whose end lies beyond it.
// The plaintext is over 1 MiB, the window's size, and the records are slid
// across that boundary.
TEST(LegacyStreaming, WindowedScanFindsWhatTheScanInMemoryFinds) {
    const std::string longName(5000, 'n');
    for (std::size_t shift : {0u, 1u, 3u, 5u, 8u, 11u, 14u, 300u, 5020u}) {
        SCOPED_TRACE(shift);
        NrbfWriter w{std::string((1u << 20) - 8 - shift, 'f')};
        w.string(2, "a.txt").reference(7).string(1, longName + ".hed").string(3, "b.bmp").reference(8);
        w.byteArray(7, std::string(3000, '\x06')).string(4, "c.txt").reference(7).byteArray(8, "late");
        w.byteArray(7, "second");
        PatchSet expected, streamed;
        std::wstring error;
        ASSERT_TRUE(parseLegacyPatch(asBytes(w.bytes), expected, error)) << wideToUtf8(error);
        test::TempDir directory;
        test::writeFile(directory / "p.cab", test::legacyFile(w.bytes));
        ASSERT_TRUE(readLegacyPatch(directory / "p.cab", streamed, error)) << wideToUtf8(error);
        EXPECT_EQ(streamed.archivePath, expected.archivePath);
        EXPECT_EQ(streamed.entries, expected.entries);
    }
}

}  // namespace
}  // namespace kiv

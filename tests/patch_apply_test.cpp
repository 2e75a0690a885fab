#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using test::Items;

class ApplyPatches : public ::testing::Test {
protected:
    void package(const std::string& file, std::string_view archivePath, const Items& entries) {
        // File names are UTF-8 here, turned into the platform's own paths.
        test::writeFile(patches / toPath(utf8ToWide(file)), test::packageBytes(archivePath, entries));
    }

    // Records each report of progress as "applied/total".
    bool apply() {
        return applyPatches(
            install.path(), patches,
            [this](std::size_t applied, std::size_t total) {
                events.push_back(std::to_string(applied) + "/" + std::to_string(total));
            },
            error);
    }

    test::TempDir install;
    std::filesystem::path patches = install / "patches";
    std::vector<std::string> events;
    std::wstring error;
};

TEST(IsPatchFile, OnlyExactCabAndNpatchExtensions) {
    for (const wchar_t* name : {L"x.cab", L"dir\\x.npatch", L"dir/sub.d/x.y.cab", L"..cab"}) {
        EXPECT_TRUE(isPatchFile(name)) << wideToUtf8(name);
    }
    for (const wchar_t* name : {L"x.CAB", L".npatch", L"x.cab.txt", L"x.cab\\readme", L"cab", L"x.cab/", L".."}) {
        EXPECT_FALSE(isPatchFile(name)) << wideToUtf8(name);
    }
}

TEST_F(ApplyPatches, FolderIsTakenByTheNamesInIt) {
    EXPECT_TRUE(apply());
    EXPECT_TRUE(events.empty());
    test::writeFile(patches / "readme.txt", "not a patch");
    EXPECT_TRUE(apply());
    EXPECT_EQ(events, std::vector<std::string>{"0/0"});
    // A directory named like a legacy patch is taken for one.
    std::filesystem::create_directories(patches / "old.cab");
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Could not read legacy .cab patch.");
}

// Each patch adds an item named after itself, so the table's order is the
// order of application, and sets "last" twice, the later entry winning. The
// archive is named in the forms a patch may use, all inside the installation.
TEST_F(ApplyPatches, PatchesApplyInOrderOfTheirNamesInUtf16CodeUnits) {
    test::writeArchive(install / "data" / "order.hed", {{"last", "old"}});
    // U+1F600 is a surrogate pair (0xD83D 0xDE00) and sorts before U+E000 in
    // UTF-16, although its code point, and its low 16 bits, are larger.
    const std::string order[] = {"B.npatch", "a.cab",    "patch10.npatch", "patch9.npatch",
                                 "x.cab",    "x.npatch", "\xF0\x9F\x98\x80.npatch", "\xEE\x80\x80.npatch"};
    const std::string archivePaths[] = {"data\\order.hed", "\\data\\order.hed", "C:\\data\\order.hed"};
    Items expected = {{"last", order[7]}};
    for (const std::string& file : order) {
        const Items entries = {{"last", "not last"}, {file, file}, {"last", file}};
        const std::string& archivePath = archivePaths[expected.size() % 3];
        if (file.ends_with(".cab")) {
            test::writeFile(patches / file, test::legacyFile(test::legacyGraph(archivePath, entries)));
        } else {
            package(file, archivePath, entries);
        }
        expected.emplace_back(file, file);
    }
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "data" / "order.hed"), expected);
}

// Fault: entries stored while the package is still being read, so that a
// package cut short inside its last entry has already changed the archive.
TEST_F(ApplyPatches, FailingPatchStopsTheRunWithThoseBeforeItApplied) {
    test::writeArchive(install / "x.hed", {{"a.txt", "old"}});
    for (const char* file : {"1.npatch", "2.npatch", "3.npatch", "5.npatch"}) package(file, "x.hed", {{file, "new"}});
    const std::string cut = test::packageBytes("x.hed", {{"a.txt", "4"}, {"4.npatch", "new"}, {"b.txt", "4"}});
    test::writeFile(patches / "4.npatch", cut.substr(0, cut.size() - 1));
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Patch package ended unexpectedly.");
    EXPECT_EQ(test::readArchive(install / "x.hed"),
              (Items{{"a.txt", "old"}, {"1.npatch", "new"}, {"2.npatch", "new"}, {"3.npatch", "new"}}));
    EXPECT_EQ(events, (std::vector<std::string>{"0/5", "1/5", "2/5", "3/5"}));
}

// No entries: only the path check refuses the first, and the second finds
// that a patch opens its archive all the same.
TEST_F(ApplyPatches, ArchiveOutsideTheInstallationOrMissingFailsThePatch) {
    const std::pair<std::string, std::wstring> rows[] = {
        {"data\\..\\..\\x.hed", L"Patch archive path is outside the installation."},
        {"data\\missing.hed", L"Could not open .hed/.dat pair."},
    };
    for (const auto& [archivePath, message] : rows) {
        package("1.npatch", archivePath, {});
        EXPECT_FALSE(apply());
        EXPECT_EQ(error, message);
    }
}

// Fault: every name copying the array it points at, so that a small legacy
// patch whose many names share one large array asks for an amount of memory
// (or of disk) many times its own size.
TEST_F(ApplyPatches, ManyLegacyNamesOnOneArrayShareItInsteadOfCopyingIt) {
    test::NrbfWriter w = test::NrbfWriter().string(1, "x.hed");
    for (int k = 0; k < 3000; ++k) w.string(10 + k, std::to_string(k) + ".txt").reference(5);
    const std::string array(256 * 1024, 'a');
    w.byteArray(5, array);
    test::writeFile(patches / "many.cab", test::legacyFile(w.bytes));
    // Held in memory, the copies would come to 750 MiB: refused.
    PatchSet set;
    EXPECT_FALSE(readLegacyPatch(patches / "many.cab", set, error));
    EXPECT_EQ(error, L"Legacy .cab patch names more data than it holds.");
    // Applied, the array is stored once for all the names.
    test::writeArchive(install / "x.hed", {{"0.txt", "old"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_LT(std::filesystem::file_size(install / "x.dat"), array.size() + 64 * 1024);
    const Items items = test::readArchive(install / "x.hed");
    ASSERT_EQ(items.size(), 3000u);
    EXPECT_EQ(items.back(), (std::pair<std::string, std::string>{"2999.txt", array}));
}

// Faults: a delta applied to an item it was not made from (the player's own
// change, a damaged disk), which would store bytes nobody published; and a
// rebuilt item that is not the recorded one reaching the archive. Each row
// that fails must leave both files of the pair byte for byte as they were.
TEST_F(ApplyPatches, DeltaTakesOnlyItsOwnBaseAndStoresOnlyTheRecordedItem) {
    std::string base(40000, '\0');
    for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::string changed = base;
    changed.replace(1000, 5, "EDIT!");
    const std::string added = "added";
    const PackageItem items[] = {{"a.bin", test::asBytes(changed), test::asBytes(base), true},
                                 {"new.txt", test::asBytes(added), {}, false}};
    const std::vector<EncodedEntry> made = encodePackageItems(items, 1);
    if (made[0].kind != PackageEntryKind::delta) GTEST_SKIP() << "this build makes no deltas";
    const std::filesystem::path hed = install / "x.hed";
    const std::filesystem::path wholeCopy = install / "whole.item";
    test::writeFile(wholeCopy, [&] {
        const std::vector<EncodedEntry> stored = encodePackageItems(std::span(items, 1), 1, false);
        return std::string(stored[0].bytes.begin(), stored[0].bytes.end());
    }());
    const std::size_t digestAt = 2 + 5 + 1 + 4;
    const std::wstring wrong = L"Patch entry a.bin does not rebuild the item it describes.";
    const struct {
        const char* name;
        std::string heldBase;
        std::size_t tamperAt;  // 0: none
        bool offerWhole;
        std::wstring error;
    } rows[] = {
        {"made from this base", base, 0, false, L""},
        {"already the new item (applied before an interruption)", changed, 0, false, L""},
        {"base changed, nothing offered whole", "changed by the player", 0, false,
         L"Item a.bin is not the one its patch was made from (changed or damaged), and no release offers it whole."},
        {"base changed, whole copy fetched", base + "x", 0, true, L""},
        {"rebuilds other bytes", base, digestAt, false, wrong},
        {"garbage in the frame", base, made[0].bytes.size() - 20, false, wrong},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(patches);
        test::writeArchive(hed, {{"a.bin", row.heldBase}});
        std::vector<EncodedEntry> entries = made;
        if (row.tamperAt != 0) entries[0].bytes[row.tamperAt] ^= 0x5A;
        std::filesystem::create_directories(patches);
        ASSERT_TRUE(writePatchPackage2(patches / "1.npatch", L"x.hed", entries, error));
        const std::string hedBefore = test::readFile(hed), datBefore = test::readFile(install / "x.dat");
        std::vector<std::string> asked;
        const WholeItemFetch fetch = [&](std::string_view name, const crypto::Sha256Digest& item,
                                         std::filesystem::path& file, std::wstring&) {
            asked.emplace_back(name);
            EXPECT_EQ(item, made[0].itemSha256);
            file = wholeCopy;
            return true;
        };
        const bool applied = applyPatches(install.path(), patches, {}, error, row.offerWhole ? fetch : WholeItemFetch{});
        EXPECT_EQ(applied, row.error.empty());
        if (!applied) {
            EXPECT_EQ(error, row.error);
            EXPECT_EQ(test::readFile(hed), hedBefore);
            EXPECT_EQ(test::readFile(install / "x.dat"), datBefore);
            continue;
        }
        EXPECT_EQ(test::readArchive(hed), (Items{{"a.bin", changed}, {"new.txt", "added"}}));
        EXPECT_EQ(asked, row.offerWhole ? std::vector<std::string>{"a.bin"} : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace kiv

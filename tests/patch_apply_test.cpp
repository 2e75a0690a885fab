#include "patch/patch.h"
#include "tests/patch_fixtures.h"
#include "tests/support.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// Records what the core reports, in order.
class RecordingReporter : public Reporter {
public:
    void setStatusText(StatusRow row, const std::wstring& text) override {
        events.push_back(std::string(row == StatusRow::version ? "version" : "download") + " text " +
                         wideToUtf8(text));
    }
    void setProgress(StatusRow row, int percent) override {
        events.push_back(std::string(row == StatusRow::version ? "version" : "download") + " progress " +
                         std::to_string(percent));
    }
    void setTitle(const std::wstring& title) override { events.push_back("title " + wideToUtf8(title)); }
    void showMessage(const std::wstring& text, MessageIcon) override {
        events.push_back("message " + wideToUtf8(text));
    }
    void setClientReady(bool ready) override { events.push_back(ready ? "ready" : "not ready"); }
    void invalidateStatusBand() override { events.push_back("invalidate"); }

    std::vector<std::string> events;
};

class ApplyPatches : public ::testing::Test {
protected:
    ApplyPatches() { std::filesystem::create_directories(patches); }

    void package(const std::string& file, std::string_view archivePath, const Items& entries) {
        // File names are UTF-8 here, turned into the platform's own paths.
        test::writeFile(patches / toPath(utf8ToWide(file)), test::packageBytes(archivePath, entries));
    }

    bool apply() {
        error = L"untouched";
        const bool applied = applyPatches(install.path(), patches, reporter, error);
        if (applied) {
            EXPECT_EQ(error, L"untouched");
        }
        return applied;
    }

    std::vector<std::string> names(const std::filesystem::path& hed) {
        std::vector<std::string> out;
        for (const auto& item : test::readArchive(hed)) out.push_back(item.first);
        return out;
    }

    test::TempDir install;
    std::filesystem::path patches = install / "patches" / "version_2" / "patches";
    RecordingReporter reporter;
    std::wstring error;
};

TEST(IsPatchFile, OnlyExactCabAndNpatchExtensions) {
    EXPECT_TRUE(isPatchFile(L"x.cab"));
    EXPECT_TRUE(isPatchFile(L"dir\\x.npatch"));
    EXPECT_TRUE(isPatchFile(L"dir/sub.d/x.y.cab"));
    EXPECT_TRUE(isPatchFile(L"..cab"));
    EXPECT_FALSE(isPatchFile(L"x.CAB"));
    EXPECT_FALSE(isPatchFile(L".npatch"));
    EXPECT_FALSE(isPatchFile(L"x.cab.txt"));
    EXPECT_FALSE(isPatchFile(L"x.cab\\readme"));
    EXPECT_FALSE(isPatchFile(L"cab"));
    EXPECT_FALSE(isPatchFile(L"x.cab/"));
    EXPECT_FALSE(isPatchFile(L""));
}

TEST_F(ApplyPatches, MissingDirectoryIsSuccessWithNothingShown) {
    std::filesystem::remove_all(install / "patches");
    EXPECT_TRUE(apply());
    EXPECT_TRUE(reporter.events.empty());
}

TEST_F(ApplyPatches, DirectoryWithoutPatchFilesGoesStraightToFull) {
    test::writeFile(patches / "readme.txt", "not a patch");
    EXPECT_TRUE(apply());
    EXPECT_EQ(reporter.events, std::vector<std::string>{"version progress 100"});
}

TEST_F(ApplyPatches, PatchesApplyInOrdinalOrderOfTheirNames) {
    test::writeArchive(install / "data" / "order.hed", {});
    // Each patch adds an item named after itself, so the table's order is
    // the order of application.
    const std::vector<std::string> files = {"patch9.npatch", "x.npatch", "patch10.npatch", "B.npatch", "x.cab",
                                            "a.cab"};
    for (const std::string& file : files) {
        if (file.ends_with(".cab")) {
            test::writeFile(patches / file, test::legacyFile(test::legacyGraph("data\\order.hed", {{file, "c"}})));
        } else {
            package(file, "data\\order.hed", {{file, "n"}});
        }
    }
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(names(install / "data" / "order.hed"),
              (std::vector<std::string>{"B.npatch", "a.cab", "patch10.npatch", "patch9.npatch", "x.cab",
                                        "x.npatch"}));
}

TEST_F(ApplyPatches, OrderIsByUtf16CodeUnitNotByCodePoint) {
    // U+1F600 is a surrogate pair (0xD83D...) and sorts before U+FF21 in
    // UTF-16, although its code point is larger.
    test::writeArchive(install / "o.hed", {});
    package("\xEF\xBC\xA1.npatch", "o.hed", {{"fullwidth.txt", "1"}});
    package("\xF0\x9F\x98\x80.npatch", "o.hed", {{"emoji.txt", "2"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(names(install / "o.hed"), (std::vector<std::string>{"emoji.txt", "fullwidth.txt"}));
}

TEST_F(ApplyPatches, FourPatchesShowZeroToSeventyFiveThenFull) {
    test::writeArchive(install / "x.hed", {{"a.txt", "old"}});
    for (const char* file : {"p1.npatch", "p2.npatch", "p3.npatch", "p4.npatch"}) {
        package(file, "x.hed", {{"a.txt", "v"}});
    }
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    const std::string text = "version text Applying patches...";
    EXPECT_EQ(reporter.events,
              (std::vector<std::string>{text, "version progress 0", text, "version progress 25", text,
                                        "version progress 50", text, "version progress 75", "version progress 100"}));
}

TEST_F(ApplyPatches, FailingSecondPatchLeavesTheFirstAppliedAndStops) {
    test::writeArchive(install / "x.hed", {{"a.txt", "old a"}, {"b.txt", "old b"}, {"c.txt", "old c"}});
    package("1.npatch", "x.hed", {{"a.txt", "new a"}});
    test::writeFile(patches / "2.npatch", "ZOKAPATCH1\x03");
    package("3.npatch", "x.hed", {{"c.txt", "new c"}});
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Invalid patch archive path length.");
    EXPECT_EQ(test::readArchive(install / "x.hed"),
              (Items{{"a.txt", "new a"}, {"b.txt", "old b"}, {"c.txt", "old c"}}));
    // The line is left on the failing patch.
    EXPECT_EQ(reporter.events.back(), "version progress 33");
}

// Fault: entries stored while the package is still being read, so that a
// package cut short inside its last entry has already changed the archive.
TEST_F(ApplyPatches, PackageCutInsideItsLastEntryChangesNothing) {
    test::writeArchive(install / "x.hed", {{"a.txt", "old a"}, {"b.txt", "old b"}});
    const auto before = test::readFile(install / "x.dat");
    const std::string whole = test::packageBytes("x.hed", {{"a.txt", "new a"}, {"new.txt", "n"}, {"b.txt", "new b"}});
    test::writeFile(patches / "1.npatch", whole.substr(0, whole.size() - 1));
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Patch package ended unexpectedly.");
    EXPECT_EQ(test::readFile(install / "x.dat"), before);
    EXPECT_EQ(test::readArchive(install / "x.hed"), (Items{{"a.txt", "old a"}, {"b.txt", "old b"}}));
}

TEST_F(ApplyPatches, LaterDataWinsAcrossPatchesAndWithinOne) {
    test::writeArchive(install / "x.hed", {{"a.txt", "old a"}, {"b.txt", "old b"}});
    package("1.npatch", "x.hed", {{"a.txt", "first"}, {"b.txt", "b once"}, {"b.txt", "b twice"}});
    package("2.npatch", "x.hed", {{"a.txt", "second"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "x.hed"), (Items{{"a.txt", "second"}, {"b.txt", "b twice"}}));
}

TEST_F(ApplyPatches, DirectoryNamedLikeALegacyPatchFailsAsUnreadable) {
    std::filesystem::create_directories(patches / "old.cab");
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Could not read legacy .cab patch.");
}

TEST_F(ApplyPatches, AbsoluteArchivePathsLandInsideTheInstallation) {
    test::writeArchive(install / "data" / "x.hed", {{"a.txt", "old"}});
    package("1.npatch", "\\data\\x.hed", {{"a.txt", "rooted"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "data" / "x.hed"), (Items{{"a.txt", "rooted"}}));
    package("1.npatch", "C:\\data\\x.hed", {{"a.txt", "drive"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "data" / "x.hed"), (Items{{"a.txt", "drive"}}));
    package("1.npatch", "//server/data/x.hed", {{"a.txt", "share"}});
    ASSERT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "data" / "x.hed"), (Items{{"a.txt", "share"}}));
}

TEST_F(ApplyPatches, ArchivePathThatClimbsOutIsRefusedBeforeOpening) {
    // A pair beside the installation that an unchecked join would reach.
    test::TempDir outside;
    test::writeArchive(install / "x.hed", {{"a.txt", "inside"}});
    for (const std::string& archivePath : std::vector<std::string>{
             "..\\x.hed", "data\\..\\..\\x.hed", "C:..\\x.hed", "/../x.hed", "x.hed:stream", "D:C:\\x.hed"}) {
        std::filesystem::remove_all(patches);
        package("1.npatch", archivePath, {{"a.txt", "escaped"}});
        EXPECT_FALSE(apply()) << archivePath;
        EXPECT_EQ(error, L"Patch archive path is outside the installation.") << archivePath;
    }
    EXPECT_EQ(test::readArchive(install / "x.hed"), (Items{{"a.txt", "inside"}}));
    // Dots that are not a ".." element are no reason to refuse.
    test::writeArchive(install / "sub" / "x..hed", {{"a.txt", "inside"}});
    package("1.npatch", ".\\sub\\x..hed", {{"a.txt", "dots"}});
    EXPECT_TRUE(apply()) << wideToUtf8(error);
    EXPECT_EQ(test::readArchive(install / "sub" / "x..hed"), (Items{{"a.txt", "dots"}}));
}

TEST_F(ApplyPatches, EmptyPatchStillOpensItsArchive) {
    package("1.npatch", "missing.hed", {});
    EXPECT_FALSE(apply());
    EXPECT_EQ(error, L"Could not open .hed/.dat pair.");
    test::writeArchive(install / "missing.hed", {});
    EXPECT_TRUE(apply()) << wideToUtf8(error);
}

}  // namespace
}  // namespace kiv

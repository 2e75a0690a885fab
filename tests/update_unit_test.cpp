// The update engine's parts that need no server: the version file, the
// window title, list entries, release manifests and the worker.
#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace kiv {
namespace {

// The number is read as a formatted extraction of an unsigned 32-bit value
// reads it, then taken as signed; anything after it is ignored.
TEST(ReadInstalledVersion, ReadsTheLeadingNumberAsTheClientDoes) {
    const std::pair<std::string, std::int32_t> cases[] = {
        {"57\r\n", 57}, {" \t\r\n\v\f57", 57}, {"0057x", 57}, {"+12", 12}, {std::string(10000, ' ') + "58", 58},
        // No number at all.
        {"", 0}, {"v57", 0}, {"\xEF\xBB\xBF" "57", 0}, {"+ 5", 0},
        // Signs and overflow.
        {"-3", -3}, {"2147483647", 2147483647}, {"3000000000", -1294967296}, {"4294967295", -1},
        {"4294967296", -1}, {"99999999999999999999999", -1}, {"-4294967296", -1}, {"-4294967295", 1},
    };
    for (const auto& [content, version] : cases) {
        test::TempDir dir;
        test::writeFile(dir / "kiv.ver", content);
        EXPECT_EQ(readInstalledVersion(dir.path()), version) << content.substr(0, 30);
    }
}

// Whatever an earlier run left at the temporary name is cleared, a folder
// too; otherwise no version could ever be recorded again. A longer old file
// is replaced whole and nothing is left beside it. A flush the disk refuses
// records nothing: the old version stays in force.
TEST(WriteInstalledVersion, ReplacesTheFileWhateverIsLeftAtTheTemporaryNameUnlessAFlushIsRefused) {
    for (const std::string leftover : {"kiv.ver.tmp", "kiv.ver.tmp/inner/file"}) {
        SCOPED_TRACE(leftover);
        test::TempDir dir;
        test::writeFile(dir / "kiv.ver", "123456789 with a long tail\r\n");
        test::writeFile(dir / leftover, "garbage");
        EXPECT_TRUE(writeInstalledVersion(dir.path(), 58));
        EXPECT_EQ(test::readFile(dir / "kiv.ver"), "58\r\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
        test::RefuseFileChanges full([](const FileChange& change) { return change.kind == FileChange::Kind::flush; });
        EXPECT_FALSE(writeInstalledVersion(dir.path(), 59));
        EXPECT_EQ(test::readFile(dir / "kiv.ver"), "58\r\n");
    }
}

TEST(FormatWindowTitle, TheVersionFromOneUpElseTheLauncher) {
    EXPECT_EQ(formatWindowTitle(1), L"KIV Client Ver. 1");
    EXPECT_EQ(formatWindowTitle(0), L"KIV Launcher");
}

// One entry per non-empty line, line ends removed and nothing else changed.
TEST(ParseDownloadList, EntriesInFileOrderWithOnlyLineEndsRemoved) {
    const std::pair<const char*, DownloadList> cases[] = {
        {"\r\r\r\n\r", {}}, {"a.txt\r\npatches\\b.npatch\r\nc d", {L"a.txt", L"patches\\b.npatch", L"c d"}},
        {"x\r\r\ny\n", {L"x", L"y"}}, {"dup\ndup\n", {L"dup", L"dup"}}, {"\ta b \n", {L"\ta b "}}, {"a\rb\n", {L"a\rb"}},
        {"\xEF\xBB\xBF" "first\nsecond", {L"\uFEFFfirst", L"second"}},
        {"caf\xC3\xA9\n\xFF.bin\n", {L"caf\u00E9", L"\uFFFD.bin"}},
    };
    for (const auto& [body, list] : cases) EXPECT_EQ(parseDownloadList(body), list) << body;
}

TEST(IsUnsafeListEntry, RefusesNamesWindowsWouldNotStoreAndTheLaunchersOwnState) {
    const wchar_t* const unsafe[] = {
        // Characters Windows forbids in file names; a web page's first line.
        L"<!DOCTYPE html>", L"a>b", L"say\"hi\"", L"a|b", L"what?.txt", L"data\\*.dat", L"tab\there", L"bell\x07",
        // Device names, with or without extension, any case, any depth.
        L"CON", L"nul.txt", L"data\\Aux.dat", L"com1", L"LPT9.log", L"prn .txt", L"COM\u00B9",
        // A trailing dot or space, on the file or on a folder.
        L"readme.", L"readme ", L"data.\\x", L"data \\x",
        // The launcher's own state.
        L"KIV.VER", L"/kiv.ver", L"kiv.ver.tmp\\x", L"./kiv.ver", L"patches", L"patches\\readme.txt",
        L"Patches\\x.NPATCH", L"patches\\version_58\\a.npatch", L"patches\\", L"/",
        // Where an install writes its temporary copies.
        L"a.txt.kivnew", L"data\\B.KIVNEW", L"x.KivNew\\a.txt",
    };
    // What real lists hold, and names that only resemble the above.
    const wchar_t* const safe[] = {
        L"kiv.exe", L"data\\kiv.ver", L"kiv.version", L"patches\\ui.npatch", L"Patches/old.cab", L"patches\\\\ui.npatch",
        L"patchesx\\a.txt", L"data\\console.dat", L"COM10", L"LPT", L"a b\\c.d", L"caf\u00E9.txt", L"kiv_launcher.exe",
        L"a.kivnew.txt", L"kivnew",
    };
    for (const wchar_t* entry : unsafe) EXPECT_TRUE(isUnsafeListEntry(entry)) << wideToUtf8(entry);
    for (const wchar_t* entry : safe) EXPECT_FALSE(isUnsafeListEntry(entry)) << wideToUtf8(entry);
}

// The text is exactly the format, entries with spaces and non-ASCII names
// included; it reads back as written and matches only its own version and
// list.
TEST(ReleaseManifestText, WritesTheFormatReadsItBackAndMatchesOnlyItsOwnList) {
    const ReleaseManifest manifest{58, {{L"data\\a file.txt", 1, {}}, {L"caf\u00e9.bin", 0, {0xab, 0x01}}}};
    const std::string text = formatReleaseManifest(manifest);
    EXPECT_EQ(text, "KIV release 1\r\n58\r\n" + std::string(64, '0') + " 1 data\\a file.txt\r\nab01" +
                        std::string(60, '0') + " 0 caf\xc3\xa9.bin\r\n");
    ReleaseManifest read;
    std::wstring error;
    ASSERT_TRUE(parseReleaseManifest(text, read, error)) << wideToUtf8(error);
    EXPECT_EQ(formatReleaseManifest(read), text);
    const DownloadList list = {L"data\\a file.txt", L"caf\u00e9.bin"};
    EXPECT_TRUE(releaseMatchesList(read, 58, list));
    EXPECT_FALSE(releaseMatchesList(read, 59, list));
    EXPECT_FALSE(releaseMatchesList(read, 58, {list[1], list[0]}));
    EXPECT_FALSE(releaseMatchesList(read, 58, {list[0]}));
}

// A lenient reader would let two texts mean the same release, or read
// garbage as an entry.
TEST(ReleaseManifestText, RefusesAnythingOutsideTheFormat) {
    const std::string head = "KIV release 1\r\n58\r\n", digest(64, 'a'), next = "\r\n" + digest + " 1 b\r\n";
    const std::string second = "KIV release 2\r\n58\r\n", item = "item " + digest + " " + digest + " 16 9";
    const std::string refused[] = {
        "", "KIV release 3\r\n58\r\n", "KIV release 1\r\n058\r\n", "KIV release 1\r\n0\r\n",
        "KIV release 1\r\n-58\r\n", "KIV release 1\r\n99999999999\r\n", "KIV release 1\r\n",
        // Entry lines, each followed by a good one.
        head + std::string(63, 'a') + " 1 a" + next, head + digest.substr(0, 63) + "A 1 a" + next,
        head + digest + " 01 a" + next, head + digest + " -1 a" + next, head + digest + " 1 " + next,
        head + digest + " 1" + next, head + digest + "  1 a" + next, head + next,
        head + digest + " 18446744073709551616 a" + next,
        // Whole items: only in the second format, complete, after the entries.
        head + item + " items.bin\r\n", second + item + "\r\n", second + item + " items.bin" + next,
    };
    ReleaseManifest manifest;
    std::wstring error;
    for (const std::string& text : refused) EXPECT_FALSE(parseReleaseManifest(text, manifest, error)) << text;
    EXPECT_TRUE(parseReleaseManifest(head + digest + " 0 a\r\n", manifest, error));
    ASSERT_TRUE(parseReleaseManifest(second + digest + " 0 a\r\n" + item + " items.bin\r\n", manifest, error));
    EXPECT_EQ(formatReleaseManifest(manifest), second + digest + " 0 a\r\n" + item + " items.bin\r\n");
}

bool waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// A second start while one runs starts nothing; busy is cleared only after
// the body has ended, even by an exception.
TEST(StartWorker, OneAtATimeAndBusyUntilTheBodyHasEnded) {
    std::atomic<bool> busy{false}, release{false}, busyAtTheEnd{false};
    ASSERT_TRUE(startWorker(busy, [&] {
        waitUntil([&] { return release.load(); });
        busyAtTheEnd = busy.load();
        throw std::runtime_error("stray");
    }));
    EXPECT_FALSE(startWorker(busy, [] {}));
    release = true;
    EXPECT_TRUE(waitUntil([&] { return !busy; }));
    EXPECT_TRUE(busyAtTheEnd);
}

}  // namespace
}  // namespace kiv

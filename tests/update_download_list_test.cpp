#include "update/update.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(BuildPatchUrl, VersionFolderAndForwardSlashes) {
    EXPECT_EQ(buildPatchUrl(7, L"dl_list.txt", L"https://p.example/kiv/"), L"https://p.example/kiv/7/dl_list.txt");
    EXPECT_EQ(buildPatchUrl(58, L"patches\\a b.npatch", L"https://p.example/kiv/"),
              L"https://p.example/kiv/58/patches/a b.npatch");
    EXPECT_EQ(buildPatchUrl(-2, L"x", L"http://h/kiv/"), L"http://h/kiv/-2/x");
    // Backslashes anywhere in the result turn into slashes, the base's too.
    EXPECT_EQ(buildPatchUrl(1, L"x", L"http://h\\kiv\\"), L"http://h/kiv/1/x");
}

TEST(BuildPatchUrl, DefaultsToTheBuiltInServer) {
    const std::wstring base = patchBaseUrl();
    ASSERT_GE(base.size(), 14u);
    EXPECT_EQ(base.substr(0, 8), L"https://");
    EXPECT_EQ(base.substr(base.size() - 5), L"/kiv/");
    EXPECT_EQ(buildPatchUrl(58, L"dl_list.txt"), base + L"58/dl_list.txt");
}

TEST(ParseDownloadList, EmptyAndBlankBodiesGiveNoEntries) {
    EXPECT_TRUE(parseDownloadList("").empty());
    EXPECT_TRUE(parseDownloadList("\n").empty());
    EXPECT_TRUE(parseDownloadList("\r\n\r\n\n").empty());
    EXPECT_TRUE(parseDownloadList("\r").empty());
    EXPECT_TRUE(parseDownloadList("\r\r\r\n\r").empty());
}

TEST(ParseDownloadList, EntriesInFileOrderWithLineEndsRemoved) {
    EXPECT_EQ(parseDownloadList("a.txt\r\npatches\\b.npatch\r\nc d"),
              (DownloadList{L"a.txt", L"patches\\b.npatch", L"c d"}));
    EXPECT_EQ(parseDownloadList("x\r\r\ny\n"), (DownloadList{L"x", L"y"}));
    EXPECT_EQ(parseDownloadList("dup\ndup\n"), (DownloadList{L"dup", L"dup"}));
}

TEST(ParseDownloadList, NothingElseIsNormalised) {
    EXPECT_EQ(parseDownloadList("   \n"), (DownloadList{L"   "}));
    EXPECT_EQ(parseDownloadList("\ta b \n"), (DownloadList{L"\ta b "}));
    EXPECT_EQ(parseDownloadList("a\rb\n"), (DownloadList{L"a\rb"}));
    EXPECT_EQ(parseDownloadList("\xEF\xBB\xBF" "first\nsecond"), (DownloadList{L"\uFEFFfirst", L"second"}));
    EXPECT_EQ(parseDownloadList("caf\xC3\xA9\n\xFF.bin\n"), (DownloadList{L"caf\u00E9", L"\uFFFD.bin"}));
}

TEST(IsUnsafeListEntry, RefusesNamesWindowsWouldNotStoreAndTheLaunchersOwnState) {
    const std::pair<const wchar_t*, bool> cases[] = {
        // Characters Windows forbids in file names; a web page's first line.
        {L"<!DOCTYPE html>", true}, {L"a>b", true}, {L"say\"hi\"", true}, {L"a|b", true},
        {L"what?.txt", true}, {L"data\\*.dat", true}, {L"tab\there", true}, {L"bell\x07", true},
        // Device names, with or without extension, any case, any depth.
        {L"CON", true}, {L"nul.txt", true}, {L"data\\Aux.dat", true}, {L"com1", true}, {L"LPT9.log", true},
        {L"prn .txt", true}, {L"COM\u00B9", true},
        // A trailing dot or space, on the file or on a folder.
        {L"readme.", true}, {L"readme ", true}, {L"data.\\x", true}, {L"data \\x", true},
        // The launcher's own state.
        {L"kiv.ver", true}, {L"KIV.VER", true}, {L"/kiv.ver", true}, {L"kiv.ver.tmp", true},
        {L"kiv.ver.tmp\\x", true}, {L"./kiv.ver", true}, {L"patches", true}, {L"patches\\readme.txt", true},
        {L"Patches\\x.NPATCH", true}, {L"patches\\version_58\\a.npatch", true}, {L"patches\\", true},
        {L"/", true},
        // What real lists hold, and names that only resemble the above.
        {L"kiv.exe", false}, {L"data\\kiv.ver", false}, {L"kiv.version", false}, {L"patches\\ui.npatch", false},
        {L"Patches/old.cab", false}, {L"patches\\\\ui.npatch", false}, {L"patchesx\\a.txt", false},
        {L"data\\console.dat", false}, {L"COM10", false}, {L"LPT", false}, {L"a b\\c.d", false},
        {L"caf\u00E9.txt", false}, {L"kiv_launcher.exe", false},
    };
    for (const auto& [entry, unsafe] : cases) EXPECT_EQ(isUnsafeListEntry(entry), unsafe) << wideToUtf8(entry);
}

}  // namespace
}  // namespace kiv

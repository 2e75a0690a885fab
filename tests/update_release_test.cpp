// The update run's checks of signed releases and release manifests, against a
// loopback patch server.
#include "tests/update_fixture.h"
#include "tools/http_server.h"
#include "tests/support.h"
#include "update/update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace kiv {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// Keeps the messages only; everything else the run reports is tested elsewhere.
class Messages : public Reporter {
public:
    void setStatusText(StatusRow, const std::wstring&) override {}
    void setProgress(StatusRow, int) override {}
    void setTitle(const std::wstring&) override {}
    void showMessage(const std::wstring& text, MessageIcon) override { shown.push_back(wideToUtf8(text)); }
    void setClientReady(bool) override {}
    void invalidateStatusBand() override {}
    std::vector<std::string> shown;
};

std::string manifestFor(int version, const Files& files) {
    ReleaseManifest manifest{version, {}};
    for (const auto& [name, content] : files) {
        ReleaseEntry entry{utf8ToWide(name), content.size(), {}};
        crypto::Sha256 hash;
        hash.update(content.data(), content.size());
        EXPECT_TRUE(hash.finish(entry.sha256));
        manifest.entries.push_back(entry);
    }
    return formatReleaseManifest(manifest);
}

class ReleaseCheck : public test::InstallationWithServer {
public:
    std::filesystem::path folder(int version) { return serverRoot / "kiv" / std::to_string(version); }

    // Publishes the version's list and files, and its manifest made from
    // `manifestFiles` (the files themselves when empty).
    void publish(int version, const Files& files, const Files& manifestFiles = {}) {
        std::string list;
        for (const auto& [name, content] : files) {
            list += name + "\r\n";
            test::writeFile(folder(version) / name, content);
        }
        test::writeFile(folder(version) / "dl_list.txt", list);
        test::writeFile(folder(version) / "release.txt", manifestFor(version, manifestFiles.empty() ? files : manifestFiles));
    }

    void run(const std::string& key) { runUpdate(install.path(), base, messages, {.releasePublicKey = key}); }

    Messages messages;
};

// The manifest is read back exactly as written, entries with spaces and
// non-ASCII names included.
TEST(ReleaseManifestText, RoundTripsAndMatchesOnlyItsOwnList) {
    const Files files = {{"data\\a file.txt", "a"}, {"caf\xc3\xa9.bin", ""}};
    ReleaseManifest manifest;
    std::wstring error;
    ASSERT_TRUE(parseReleaseManifest(manifestFor(58, files), manifest, error)) << wideToUtf8(error);
    EXPECT_EQ(formatReleaseManifest(manifest), manifestFor(58, files));
    const DownloadList list = {L"data\\a file.txt", L"caf\u00e9.bin"};
    EXPECT_TRUE(releaseMatchesList(manifest, 58, list));
    EXPECT_FALSE(releaseMatchesList(manifest, 59, list));
    EXPECT_FALSE(releaseMatchesList(manifest, 58, {list[1], list[0]}));
    EXPECT_FALSE(releaseMatchesList(manifest, 58, {list[0]}));
}

// A lenient reader would let two texts mean the same release, or read
// garbage as an entry.
TEST(ReleaseManifestText, RefusesAnythingOutsideTheFormat) {
    const std::string digest(64, 'a');
    const char* refused[] = {
        "",
        "KIV release 2\r\n58\r\n",
        "KIV release 1\r\n058\r\n",
        "KIV release 1\r\n0\r\n",
        "KIV release 1\r\n-58\r\n",
        "KIV release 1\r\n99999999999\r\n",
        "KIV release 1\r\n",
    };
    ReleaseManifest manifest;
    std::wstring error;
    for (const char* text : refused) EXPECT_FALSE(parseReleaseManifest(text, manifest, error)) << text;
    const std::string head = "KIV release 1\r\n58\r\n";
    const std::string badLines[] = {
        std::string(63, 'a') + " 1 a",     digest.substr(0, 63) + "A 1 a", digest + " 01 a",
        digest + " -1 a",                  digest + " 1 ",                 digest + " 1",
        digest + "  1 a",                  "",                             digest + " 18446744073709551616 a",
    };
    for (const std::string& line : badLines) {
        EXPECT_FALSE(parseReleaseManifest(head + line + "\r\n" + digest + " 1 b\r\n", manifest, error)) << line;
    }
    EXPECT_TRUE(parseReleaseManifest(head + digest + " 0 a\r\n", manifest, error));
}

// The hashing thread must see every piece, in order, and nothing of an
// attempt that was restarted; the digest may only be read once the queue
// has drained.
TEST(TransferHasher, HashesThePiecesSinceTheLastRestartInOrder) {
    std::string second;
    for (int i = 0; i < 64; ++i) second += std::string(1000 + i, static_cast<char>('a' + i % 26));
    crypto::Sha256 whole;
    whole.update(second.data(), second.size());
    crypto::Sha256Digest expected, digest;
    ASSERT_TRUE(whole.finish(expected));

    TransferHasher hasher;
    std::uint64_t size = 0;
    EXPECT_FALSE(hasher.finish(digest, size));
    hasher.restart();
    for (int i = 0; i < 20; ++i) hasher.data("first attempt", 13);
    hasher.restart();
    for (std::size_t at = 0; at < second.size(); at += 1000) {
        const std::string_view piece = std::string_view(second).substr(at, 1000);
        hasher.data(piece.data(), piece.size());
    }
    ASSERT_TRUE(hasher.finish(digest, size));
    EXPECT_EQ(size, second.size());
    EXPECT_EQ(digest, expected);
}

const Files kVersion58 = {{"readme.txt", "readme 58"}, {"empty.txt", ""}, {"kiv.exe", "client 58"}};

// Without a key a manifest on the server still guards against a corrupt
// copy: a file whose bytes differ, a longer one or a shorter one stops the
// version before anything of it is installed.
TEST_F(ReleaseCheck, WithoutKeyAManifestStillCatchesCorruptCopies) {
    const struct {
        const char* name;
        std::string served;
    } cases[] = {{"same length, other bytes", "client 5X"}, {"longer", "client 58 and more"}, {"shorter", "client"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(serverRoot / "kiv");
        messages.shown.clear();
        publish(58, kVersion58);
        test::writeFile(folder(58) / "kiv.exe", c.served);
        run("");
        EXPECT_EQ(messages.shown,
                  std::vector<std::string>{"Download failed: kiv.exe\nDownloaded file does not match the release."});
        EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
        EXPECT_EQ(test::readFile(install / "kiv.exe"), "client 57");
        EXPECT_FALSE(std::filesystem::exists(install / "readme.txt"));
    }
    // A manifest that does not agree with the list is not used silently.
    std::filesystem::remove_all(serverRoot / "kiv");
    messages.shown.clear();
    publish(58, kVersion58, {{"readme.txt", "readme 58"}});
    run("");
    EXPECT_EQ(messages.shown,
              std::vector<std::string>{"Download failed: release.txt\nDownloaded file does not match the release."});
}

TEST_F(ReleaseCheck, WithoutKeyAMatchingManifestInstalls) {
    publish(58, kVersion58);
    run("");
    EXPECT_EQ(messages.shown, std::vector<std::string>{});
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
    EXPECT_EQ(test::readFile(install / "kiv.exe"), "client 58");
    EXPECT_EQ(test::readFile(install / "empty.txt"), "");
}

// A file cut off part way and then resumed with a ranged request is checked
// as the whole file: if the hash followed only the attempt (the appended half
// not seen, or the hash started over for it), a correct download would be
// refused; if it did not start over when the server sends the whole file
// again, the first half would be counted twice.
TEST_F(ReleaseCheck, ARetriedDownloadIsHashedAsTheWholeFile) {
    std::string client(200 * 1024, '\0');
    for (std::size_t i = 0; i < client.size(); ++i) client[i] = static_cast<char>(i * 7 + i / 251);
    HttpRoute whole;
    whole.body = client;
    whole.etag = "\"v58\"";
    whole.ranges = true;
    HttpRoute cut = whole;
    cut.cutAfter = client.size() / 2;
    HttpRoute rangesIgnored = whole;
    rangesIgnored.ranges = false;
    const struct {
        const char* name;
        HttpRoute second;
        const char* range;  // of the retry
    } cases[] = {{"resumed at half", whole, "bytes=102400-"}, {"started over", rangesIgnored, "bytes=102400-"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(serverRoot / "kiv");
        test::writeFile(install / "kiv.ver", "57\r\n");
        messages.shown.clear();
        publish(58, {{"kiv.exe", client}});
        server.setRouteSequence("/kiv/58/kiv.exe", {cut, c.second});
        const std::size_t before = server.requests().size();
        UpdateOptions options;
        options.retryDelays = {std::chrono::milliseconds(1), std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
        runUpdate(install.path(), base, messages, options);
        EXPECT_EQ(messages.shown, std::vector<std::string>{});
        EXPECT_EQ(test::readFile(install / "kiv.ver"), "58\r\n");
        EXPECT_TRUE(test::readFile(install / "kiv.exe") == client);
        std::vector<std::string> ranges;
        const std::vector<SeenRequest> seen = server.requests();
        for (std::size_t i = before; i < seen.size(); ++i) {
            if (seen[i].target == "/kiv/58/kiv.exe") ranges.push_back(seen[i].header("Range"));
        }
        EXPECT_EQ(ranges, (std::vector<std::string>{"", c.range}));
    }
}

#ifndef _WIN32
// Signing is done on the operator's side with libcrypto; the Windows build
// checks signatures made by the native kivtool in the end-to-end test.
std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class SignedReleaseCheck : public ReleaseCheck {
public:
    void SetUp() override {
        ReleaseCheck::SetUp();
        ASSERT_TRUE(crypto::generateReleaseKeyPair(privateKey, publicKey));
        ASSERT_TRUE(crypto::generateReleaseKeyPair(otherPrivate, otherPublic));
    }
    void sign(int version, const std::string& key) {
        std::vector<std::uint8_t> signature;
        ASSERT_TRUE(crypto::signRelease(key, asBytes(test::readFile(folder(version) / "release.txt")), signature));
        test::writeFile(folder(version) / "release.sig", {reinterpret_cast<const char*>(signature.data()), signature.size()});
    }
    std::string privateKey, publicKey, otherPrivate, otherPublic;
};

TEST_F(SignedReleaseCheck, SignedVersionsInstall) {
    publish(58, kVersion58);
    sign(58, privateKey);
    publish(59, {{"readme.txt", "readme 59"}});
    sign(59, privateKey);
    run(publicKey);
    EXPECT_EQ(messages.shown, std::vector<std::string>{});
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "59\r\n");
    EXPECT_EQ(test::readFile(install / "readme.txt"), "readme 59");
}

// Each way of passing off a release the publisher did not sign for this
// version is refused with the same message, and nothing is installed.
TEST_F(SignedReleaseCheck, UnsignedReleasesAreRefused) {
    const struct {
        const char* name;
        std::function<void(SignedReleaseCheck&)> tamper;
    } cases[] = {
        {"signature missing", [](auto& t) { std::filesystem::remove(t.folder(58) / "release.sig"); }},
        {"manifest missing", [](auto& t) { std::filesystem::remove(t.folder(58) / "release.txt"); }},
        {"manifest changed",
         [](auto& t) {
             test::writeFile(t.folder(58) / "release.txt",
                             manifestFor(58, {{"readme.txt", "readme 58"}, {"empty.txt", ""}, {"kiv.exe", "evil"}}));
         }},
        {"signed by another key", [](auto& t) { t.sign(58, t.otherPrivate); }},
        {"signature not DER", [](auto& t) { test::writeFile(t.folder(58) / "release.sig", "garbage"); }},
        {"older release under a newer number",
         [](auto& t) {
             test::writeFile(t.folder(58) / "release.txt", manifestFor(57, kVersion58));
             t.sign(58, t.privateKey);
         }},
        {"list names a file the manifest does not",
         [](auto& t) {
             test::writeFile(t.folder(58) / "dl_list.txt", "readme.txt\r\nempty.txt\r\nkiv.exe\r\nextra.exe\r\n");
             test::writeFile(t.folder(58) / "extra.exe", "evil");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(serverRoot / "kiv");
        messages.shown.clear();
        publish(58, kVersion58);
        sign(58, privateKey);
        c.tamper(*this);
        run(publicKey);
        EXPECT_EQ(messages.shown, std::vector<std::string>{"Release 58 is not signed by the publisher."});
        EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
        EXPECT_EQ(test::readFile(install / "kiv.exe"), "client 57");
    }
}

// A signed release does not vouch for bytes it does not name: a file served
// in place of the real one is caught while it is written, and one longer
// than the release says is cut off at that size.
TEST_F(SignedReleaseCheck, FilesThatDoNotMatchTheSignedReleaseAreRefused) {
    publish(58, kVersion58);
    sign(58, privateKey);
    HttpRoute route;
    route.body = std::string(1 << 20, 'x');
    route.framing = HttpRoute::Framing::close;
    server.setRoute("/kiv/58/kiv.exe", route);
    run(publicKey);
    EXPECT_EQ(messages.shown,
              std::vector<std::string>{"Download failed: kiv.exe\nDownloaded file does not match the release."});
    EXPECT_EQ(test::readFile(install / "kiv.ver"), "57\r\n");
    EXPECT_EQ(test::readFile(install / "kiv.exe"), "client 57");
    EXPECT_FALSE(std::filesystem::exists(install / "patches" / "version_58" / "kiv.exe"));
}
#endif

}  // namespace
}  // namespace kiv

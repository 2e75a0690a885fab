// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace kiv::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    // A fresh directory whose full path is `length` characters long (at
    // least that of a plain one): deep enough that the files below it pass
    // the classic path limit of Windows.
    explicit TempDir(std::size_t length);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

protected:
    // A fresh directory under `base`.
    explicit TempDir(const std::filesystem::path& base);

private:
    std::filesystem::path path_;
};

// A scratch directory in memory where there is one (else a `TempDir`): a
// process kill or a played power cut does not depend on the disk, and without
// real flushes each step is short.
class ScratchDir : public TempDir {
public:
    ScratchDir();
};

// The bytes of `text`, as the byte interfaces take them.
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// `size` bytes of every value, line ends and NULs included, so that any
// conversion or misplaced piece shows.
std::string pattern(std::size_t size);

std::string readFile(const std::filesystem::path& path);
// Writes `bytes`, creating parent directories.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// The "name=value" lines of the file that KIV_TLS_SERVERS names: the ports of
// the servers tests/tls_servers.sh started, and the file of their CA.
std::map<std::string, std::string> testServers();

}  // namespace kiv::test

#include "base/base.h"

#include <functional>

namespace kiv::test {

// Installed for its lifetime: refuses every file change `refuse` picks, as a
// full or failing disk would, and lets the rest through.
class RefuseFileChanges : public FileLayer {
public:
    explicit RefuseFileChanges(std::function<bool(const FileChange&)> refuse) : refuse_(std::move(refuse)) {
        setFileLayer(this);
    }
    ~RefuseFileChanges() override { setFileLayer(nullptr); }
    bool before(const FileChange& change) override { return !refuse_(change); }
    void after(const FileChange&) override {}

private:
    std::function<bool(const FileChange&)> refuse_;
};

}  // namespace kiv::test

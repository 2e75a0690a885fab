// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kiv::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
// Writes `bytes`, creating parent directories.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kiv::test

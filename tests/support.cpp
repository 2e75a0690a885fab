#include "tests/support.h"

#include "base/base.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kiv::test {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(std::size_t length) : TempDir() {
    const std::size_t have = path_.native().size() + 1;
    if (length <= have) return;
    path_ /= std::string(length - have, 'd');
    std::filesystem::create_directory(path_);
}

TempDir::TempDir(const std::filesystem::path& base) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        auto candidate = base / ("kiv-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("could not create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScratchDir::ScratchDir()
    : TempDir(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path()) {}

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("could not write " + path.string());
}

std::map<std::string, std::string> testServers() {
    std::map<std::string, std::string> servers;
    if (const char* list = std::getenv("KIV_TLS_SERVERS")) {
        std::ifstream in(toPath(utf8ToWide(list)));
        for (std::string name, value; std::getline(in, name, '=') && std::getline(in, value);) servers[name] = value;
    }
    return servers;
}

}  // namespace kiv::test

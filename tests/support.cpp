#include "tests/support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kiv::test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("kiv-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("could not create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    std::error_code ignored;
    if (std::filesystem::is_directory("/dev/shm", ignored)) {
        path_ = std::filesystem::path("/dev/shm") /
                ("kiv-scratch-" + fallback_.path().filename().string() + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(path_, ignored)) return;
    }
    path_ = fallback_.path();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (path_ != fallback_.path()) std::filesystem::remove_all(path_, ignored);
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

}  // namespace kiv::test

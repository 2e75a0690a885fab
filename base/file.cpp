#include "base/base.h"
#include "base/file_layer.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace kiv {

namespace detail {
std::atomic<FileLayer*> installedFileLayer{nullptr};
}  // namespace detail

void setFileLayer(FileLayer* layer) { detail::installedFileLayer.store(layer, std::memory_order_release); }

// The same on every platform: readSomeAt until the span is full.
bool File::readAt(std::uint64_t offset, void* data, std::size_t length) const {
    auto* out = static_cast<unsigned char*>(data);
    while (length > 0) {
        std::int64_t got = readSomeAt(offset, out, length);
        if (got <= 0) return false;
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

bool syncDirectory(const std::filesystem::path& directory) {
    return detail::observed({FileChange::Kind::syncDirectory, directory},
                            [&] { return detail::syncDirectoryNative(directory); });
}

// The rename itself lives in the directory: it is synced so that the rename
// survives a power cut as well as a killed process.
bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return renameFile(source, target) && syncDirectory(target.parent_path());
}

bool copyFileReplacing(const std::filesystem::path& source, const std::filesystem::path& target) {
    File in;
    std::uint64_t size = 0;
    if (!in.open(source, File::Mode::read) || !in.size(size)) return false;

    // Whatever an earlier run left at the temporary name (a file, even a
    // directory) would block the copy.
    std::filesystem::path temporary = target;
    temporary += toPath(kTemporaryFileSuffix);
    if (!removeAll(temporary)) return false;
    File out;
    if (!out.open(temporary, File::Mode::create)) return false;

    constexpr std::uint64_t kChunk = 1u << 20;
    std::vector<unsigned char> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(size, 1), kChunk)));
    bool copied = true;
    for (std::uint64_t offset = 0; copied;) {
        const std::int64_t got = in.readSomeAt(offset, buffer.data(), buffer.size());
        if (got == 0) break;
        copied = got > 0 && out.writeAt(offset, buffer.data(), static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got > 0 ? got : 0);
    }
    // The bytes are durable before the name points at them, so that a power
    // cut after the replacement cannot leave the new name over missing data.
    copied = copied && out.flush();
    out.close();
    if (!copied || !replaceFile(temporary, target)) {
        removeAll(temporary);
        return false;
    }
    return true;
}

bool createDirectories(const std::filesystem::path& directory) {
    std::error_code error;
    if (directory.empty() || std::filesystem::is_directory(systemPath(directory), error)) return true;
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at = directory; !at.empty() && !std::filesystem::exists(systemPath(at), error);
         at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    // Outermost first; each new entry is synced into its parent, so that a
    // file later made durable inside it cannot lose its whole folder.
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::filesystem::path& at = *it;
        if (!detail::observed({FileChange::Kind::makeDirectory, at}, [&] {
                std::error_code made;
                const std::filesystem::path native = systemPath(at);
                return std::filesystem::create_directory(native, made) || std::filesystem::is_directory(native, made);
            })) {
            return false;
        }
        const std::filesystem::path parent = at.parent_path();
        if (!detail::observed({FileChange::Kind::syncDirectory, parent},
                              [&] { return detail::syncDirectoryNative(parent); })) {
            return false;
        }
    }
    return std::filesystem::is_directory(systemPath(directory), error);
}

bool removeFile(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(systemPath(path), error);
    if (error || !std::filesystem::exists(status)) return !error || error == std::errc::no_such_file_or_directory;
    if (std::filesystem::is_directory(status)) return false;
    return detail::observed({FileChange::Kind::remove, path}, [&] {
        std::error_code removed;
        std::filesystem::remove(systemPath(path), removed);
        return !removed;
    });
}

bool removeAll(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::symlink_status(systemPath(path), error);
    if (error || !std::filesystem::exists(status)) return !error || error == std::errc::no_such_file_or_directory;
    if (std::filesystem::is_directory(status)) {
        std::vector<std::filesystem::path> children;
        for (std::filesystem::directory_iterator it(systemPath(path), error), end; !error && it != end;
             it.increment(error)) {
            children.push_back(path / it->path().filename());
        }
        if (error) return false;
        for (const auto& child : children) {
            if (!removeAll(child)) return false;
        }
    }
    return detail::observed({FileChange::Kind::remove, path}, [&] {
        std::error_code removed;
        std::filesystem::remove(systemPath(path), removed);
        return !removed;
    });
}

}  // namespace kiv

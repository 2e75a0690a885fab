#include "base/base.h"
#include "base/file_layer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kiv {

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

std::filesystem::path systemPath(const std::filesystem::path& path) { return path; }

bool File::open(const std::filesystem::path& path, Mode mode) {
    close();
    int flags = O_CLOEXEC;
    switch (mode) {
        case Mode::read: flags |= O_RDONLY; break;
        case Mode::readWrite: flags |= O_RDWR; break;
        case Mode::create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    }
    auto openNative = [&] {
        do {
            fd_ = ::open(path.c_str(), flags, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return false;
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            close();
            return false;
        }
        return true;
    };
    if (detail::fileLayer() == nullptr) return openNative();
    path_ = path;
    if (mode != Mode::create) return openNative();
    return detail::observed({FileChange::Kind::create, path_}, openNative);
}

bool File::isOpen() const { return fd_ >= 0; }

void File::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool File::size(std::uint64_t& out) const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0) return false;
    out = static_cast<std::uint64_t>(info.st_size);
    return true;
}

std::int64_t File::readSomeAt(std::uint64_t offset, void* data, std::size_t length) const {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t got = ::pread(fd_, data, length, static_cast<off_t>(offset));
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t length) {
    if (fd_ < 0) return false;
    return detail::observed({FileChange::Kind::write, path_, nullptr, offset, data, length}, [&] {
        const auto* in = static_cast<const unsigned char*>(data);
        std::uint64_t at = offset;
        std::size_t left = length;
        while (left > 0) {
            ssize_t put = ::pwrite(fd_, in, left, static_cast<off_t>(at));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            in += put;
            at += static_cast<std::uint64_t>(put);
            left -= static_cast<std::size_t>(put);
        }
        return true;
    });
}

bool File::truncate(std::uint64_t length) {
    if (fd_ < 0) return false;
    return detail::observed({FileChange::Kind::truncate, path_, nullptr, length},
                            [&] { return ::ftruncate(fd_, static_cast<off_t>(length)) == 0; });
}

bool File::flush() {
    if (fd_ < 0) return false;
    return detail::observed({FileChange::Kind::flush, path_}, [&] { return ::fdatasync(fd_) == 0; });
}

namespace detail {

bool syncDirectoryNative(const std::filesystem::path& directory) {
    int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // A file system that cannot sync directories at all keeps its entries as
    // well as it can; only a sync that was tried and failed is a failure.
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    ::close(fd);
    return synced;
}

}  // namespace detail

bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (!detail::observed({FileChange::Kind::rename, source, &target},
                          [&] { return ::rename(source.c_str(), target.c_str()) == 0; })) {
        return false;
    }
    // The rename itself lives in the directory: sync it so that it survives
    // a power cut as well as a killed process.
    const std::filesystem::path directory = target.parent_path();
    return detail::observed({FileChange::Kind::syncDirectory, directory},
                            [&] { return detail::syncDirectoryNative(directory); });
}

bool replaceFileMovingAside(const std::filesystem::path& source, const std::filesystem::path& target,
                            const std::filesystem::path& aside) {
    const auto move = [](const std::filesystem::path& from, const std::filesystem::path& to) {
        return detail::observed({FileChange::Kind::rename, from, &to},
                                [&] { return ::rename(from.c_str(), to.c_str()) == 0; });
    };
    if (!move(target, aside)) return false;
    if (!move(source, target)) {
        move(aside, target);
        return false;
    }
    // One sync for both renames: until it, the disk holds the old names.
    for (const std::filesystem::path& directory : {aside.parent_path(), target.parent_path()}) {
        if (!detail::observed({FileChange::Kind::syncDirectory, directory},
                              [&] { return detail::syncDirectoryNative(directory); })) {
            return false;
        }
        if (aside.parent_path() == target.parent_path()) break;
    }
    return true;
}

}  // namespace kiv

#include "base/base.h"
#include "base/file_layer.h"

#include <windows.h>

namespace kiv {

namespace {
HANDLE asHandle(void* h) { return static_cast<HANDLE>(h); }
// Shorter than MAX_PATH by the room a directory needs for an 8.3 name, the
// limit CreateDirectoryW applies.
constexpr std::size_t kClassicLimit = MAX_PATH - 12;
}  // namespace

std::filesystem::path systemPath(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    if (text.size() < kClassicLimit || text.starts_with(L"\\\\?\\") || text.starts_with(L"\\\\.\\")) return path;
    // The verbatim form is taken as it stands: separators, "." and ".." must
    // be resolved first, which GetFullPathNameW does for any length.
    DWORD need = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (need == 0) return path;
    std::wstring full(need, L'\0');
    DWORD got = GetFullPathNameW(text.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return path;
    full.resize(got);
    if (full.starts_with(L"\\\\")) return std::filesystem::path(L"\\\\?\\UNC\\" + full.substr(2));
    return std::filesystem::path(L"\\\\?\\" + full);
}

File::~File() { close(); }

File::File(File&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = INVALID_HANDLE_VALUE;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    return *this;
}

bool File::open(const std::filesystem::path& path, Mode mode) {
    close();
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if (mode != Mode::read) access |= GENERIC_WRITE;
    if (mode == Mode::create) disposition = CREATE_ALWAYS;
    auto openNative = [&] {
        // No sharing restrictions: other readers and writers may keep the file open.
        HANDLE h = CreateFileW(systemPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        handle_ = h;
        return true;
    };
    if (detail::fileLayer() == nullptr) return openNative();
    path_ = path;
    if (mode != Mode::create) return openNative();
    return detail::observed({FileChange::Kind::create, path_}, openNative);
}

bool File::isOpen() const { return asHandle(handle_) != INVALID_HANDLE_VALUE; }

void File::close() {
    if (isOpen()) CloseHandle(asHandle(handle_));
    handle_ = INVALID_HANDLE_VALUE;
}

bool File::size(std::uint64_t& out) const {
    LARGE_INTEGER value;
    if (!isOpen() || !GetFileSizeEx(asHandle(handle_), &value)) return false;
    out = static_cast<std::uint64_t>(value.QuadPart);
    return true;
}

namespace {
OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}
constexpr std::size_t kMaxIo = 1u << 30;
}  // namespace

std::int64_t File::readSomeAt(std::uint64_t offset, void* data, std::size_t length) const {
    if (!isOpen()) return -1;
    OVERLAPPED position = at(offset);
    DWORD got = 0;
    DWORD ask = static_cast<DWORD>(length > kMaxIo ? kMaxIo : length);
    if (!ReadFile(asHandle(handle_), data, ask, &got, &position)) {
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return got;
}

bool File::writeAt(std::uint64_t offset, const void* data, std::size_t length) {
    if (!isOpen()) return false;
    return detail::observed({FileChange::Kind::write, path_, nullptr, offset, data, length}, [&] {
        const auto* in = static_cast<const unsigned char*>(data);
        std::uint64_t where = offset;
        std::size_t left = length;
        while (left > 0) {
            OVERLAPPED position = at(where);
            DWORD put = 0;
            DWORD ask = static_cast<DWORD>(left > kMaxIo ? kMaxIo : left);
            if (!WriteFile(asHandle(handle_), in, ask, &put, &position) || put == 0) return false;
            in += put;
            where += put;
            left -= put;
        }
        return true;
    });
}

bool File::truncate(std::uint64_t length) {
    if (!isOpen()) return false;
    return detail::observed({FileChange::Kind::truncate, path_, nullptr, length}, [&] {
        FILE_END_OF_FILE_INFO info{};
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        return SetFileInformationByHandle(asHandle(handle_), FileEndOfFileInfo, &info, sizeof info) != 0;
    });
}

bool File::flush() {
    if (!isOpen()) return false;
    return detail::observed({FileChange::Kind::flush, path_}, [&] { return FlushFileBuffers(asHandle(handle_)) != 0; });
}

namespace detail {

// Directory entries cannot be flushed on their own here; the moves that need
// it are written through.
bool syncDirectoryNative(const std::filesystem::path&) { return true; }

}  // namespace detail

// Written through: the move is durable once it returns.
bool renameFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return detail::observed({FileChange::Kind::rename, source, &target}, [&] {
        return MoveFileExW(systemPath(source).c_str(), systemPath(target).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

bool replaceFileMovingAside(const std::filesystem::path& source, const std::filesystem::path& target,
                            const std::filesystem::path& aside) {
    const auto move = [](const std::filesystem::path& from, const std::filesystem::path& to, DWORD flags) {
        return detail::observed({FileChange::Kind::rename, from, &to}, [&] {
            return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | flags) != 0;
        });
    };
    // The first move is not written through on its own: the second one,
    // written through, commits both, as the volume's log keeps their order.
    if (!move(target, aside, 0)) return false;
    if (!move(source, target, MOVEFILE_WRITE_THROUGH)) {
        move(aside, target, MOVEFILE_WRITE_THROUGH);
        return false;
    }
    const std::filesystem::path directory = target.parent_path();
    return detail::observed({FileChange::Kind::syncDirectory, directory}, [] { return true; });
}

}  // namespace kiv

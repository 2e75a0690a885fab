#include "base/base.h"

#include <windows.h>

namespace kiv {

namespace {
HANDLE asHandle(void* h) { return static_cast<HANDLE>(h); }
}  // namespace

File::~File() { close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
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
    // No sharing restrictions: other readers and writers may keep the file open.
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = h;
    return true;
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
    const auto* in = static_cast<const unsigned char*>(data);
    while (length > 0) {
        OVERLAPPED position = at(offset);
        DWORD put = 0;
        DWORD ask = static_cast<DWORD>(length > kMaxIo ? kMaxIo : length);
        if (!WriteFile(asHandle(handle_), in, ask, &put, &position) || put == 0) return false;
        in += put;
        offset += put;
        length -= put;
    }
    return true;
}

bool File::truncate(std::uint64_t length) {
    if (!isOpen()) return false;
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(asHandle(handle_), FileEndOfFileInfo, &info, sizeof info) != 0;
}

bool File::flush() { return isOpen() && FlushFileBuffers(asHandle(handle_)) != 0; }

bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const std::filesystem::path& path) {
    if (DeleteFileW(path.c_str()) != 0) return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool copyFileReplacing(const std::filesystem::path& source, const std::filesystem::path& target) {
    // The runtime's own copy refuses to replace an existing file here, so
    // the system copy is asked directly.
    return CopyFileW(source.c_str(), target.c_str(), FALSE) != 0;
}

}  // namespace kiv

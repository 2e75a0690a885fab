// The few helpers every subsystem uses: text conversion, the Windows path
// rules (which apply on every platform, because server entries and archive
// paths are written for Windows), the one case-insensitive comparison of
// names, little-endian fields, and a file handle opened without sharing
// restrictions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// ---- Text -----------------------------------------------------------------

// UTF-8 to wide text. Invalid input never fails: each maximal invalid
// subsequence becomes one U+FFFD, as the Windows conversion does. On Windows
// the result is UTF-16; on Linux each character is one wchar_t.
std::wstring utf8ToWide(std::string_view bytes);
// Wide text to UTF-8; unpaired surrogates become U+FFFD.
std::string wideToUtf8(std::wstring_view text);

// Letter case, ignored wherever the launcher compares names (file names, URL
// schemes, header names, window titles), by one rule: the ASCII letters A-Z
// equal a-z and every other character equals only itself. Windows folds more
// letters in file names, but the names compared here are ASCII, and this rule
// gives the same answer in every locale and on every platform.
template <typename Char>
constexpr Char foldCase(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}
bool equalsIgnoringCase(std::wstring_view left, std::wstring_view right);
bool startsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix);
bool containsIgnoringCase(std::wstring_view text, std::wstring_view part);

// ---- Paths ----------------------------------------------------------------

constexpr bool isPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Length of the root name at the start of `path` by the Windows rules: a
// drive letter and its colon ("C:"), a device or verbatim prefix ("\\?\" and
// "\\.\", with either separator), or a network prefix ("\\server"). 0 when
// the path has none.
std::size_t rootNameLength(std::wstring_view path);

// `entry` without its root name and without the separators that then lead it.
std::wstring relativeEntryPath(std::wstring_view entry);

// A relative path that Windows would not store as the file it names, or that
// would leave the directory it is joined to: it holds a character Windows
// forbids in file names (< > " | ? * :, control characters; ':' would name a
// drive or an alternate stream), or one of its elements is a device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9 with any extension, any letter case) or
// ends in a dot or a space (".." included; "." is the folder itself).
bool isUnsafeRelativePath(std::wstring_view relative);

// The elements of a relative path in order; repeated separators and "."
// name no element of their own, as on Windows.
std::vector<std::wstring_view> pathElements(std::wstring_view relative);

// Wide path text as a file-system path (UTF-8 on Linux), and back.
std::filesystem::path toPath(std::wstring_view text);
std::wstring toWide(const std::filesystem::path& path);

// `directory` joined with a relative path that may use either separator.
std::filesystem::path joinEntryPath(const std::filesystem::path& directory, std::wstring_view relative);

// ---- The installation ------------------------------------------------------

// The directory of the running executable: the installation directory, root
// of every file the launcher reads or writes. Empty if the module path cannot
// be read.
std::filesystem::path launcherDirectory();
// The running executable itself; empty if the module path cannot be read.
std::filesystem::path launcherProgramPath();

// The form of `path` to hand to the system so that it opens it whatever its
// length: on Windows, a path at or past the classic limit of 260 characters
// (an installation deep in a folder tree) becomes its full "\\?\" form, in
// which "." and ".." are already resolved; anything else is returned as is.
std::filesystem::path systemPath(const std::filesystem::path& path);

// ---- Little-endian fields --------------------------------------------------

constexpr std::uint16_t loadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
constexpr std::uint32_t loadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
constexpr void storeLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void storeLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// ---- Files ----------------------------------------------------------------
//
// Every change the update makes on disk goes through `File` and the free
// functions below, so that one place decides how data is made durable and a
// test can watch (and cut short) every write, flush, rename and removal.

// A file handle opened without sharing restrictions, with positioned reads
// and writes. Each operation is whole or fails; nothing throws.
class File {
public:
    enum class Mode {
        read,       // existing file, read only
        readWrite,  // existing file, read and write
        create,     // created or truncated, read and write
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool open(const std::filesystem::path& path, Mode mode);
    bool isOpen() const;
    void close();

    bool size(std::uint64_t& out) const;
    // Reads exactly `length` bytes at `offset`; false on a short read.
    bool readAt(std::uint64_t offset, void* data, std::size_t length) const;
    // Reads up to `length` bytes at `offset`; the count read, or -1 on error.
    std::int64_t readSomeAt(std::uint64_t offset, void* data, std::size_t length) const;
    bool writeAt(std::uint64_t offset, const void* data, std::size_t length);
    bool truncate(std::uint64_t length);
    // Makes the data written so far durable before anything that refers to it
    // is written (FlushFileBuffers / fdatasync).
    bool flush();

private:
#ifdef _WIN32
    void* handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
    int fd_ = -1;
#endif
    // Kept only while a file layer watches (see `setFileLayer`).
    std::filesystem::path path_;
};

// Replaces `target` with `source` in one step, so that a reader sees either
// the old or the new file and never a partial one. The rename is made
// durable before returning (the directory is synced; on Windows the move is
// written through); false when it could not be, though the move was made.
bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Moves `source` over `target` in one step, as replaceFile does, but leaves
// the move to be made durable by a later syncDirectory of the folders of
// both, so that many moves into one folder share one sync. On Windows the
// move is written through.
bool renameFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Makes the entries of `directory` durable: the moves, creations and
// removals in it survive a power cut. Nothing to do on Windows, where the
// moves that need it are written through.
bool syncDirectory(const std::filesystem::path& directory);

// Deletes the file `path`. True when it is gone, also when it was never
// there; false when it stays (in use, read-only, a folder).
bool removeFile(const std::filesystem::path& path);

// What copyFileReplacing appends to a file's name for the copy it writes
// beside it. No list entry and no published file may end in it (compared
// without regard to letter case), so that the copy can never stand on a file
// of the installation.
inline constexpr std::wstring_view kTemporaryFileSuffix = L".kivnew";

// Installs a copy of `source` as `target` in one step: the bytes go to a
// temporary file beside `target` (its name with kTemporaryFileSuffix
// appended), are flushed, and then replace `target`. A copy that fails at any
// point (source missing, disk full, target a directory) leaves `target` as it
// was.
bool copyFileReplacing(const std::filesystem::path& source, const std::filesystem::path& target);

// Moves `target` to `aside` and `source` to `target` with no flush between
// the two renames, then makes both durable at once, so that a power cut
// leaves a file at `target` (the old one or the new) whenever it strikes at
// a flush. If the second rename fails, the first is undone. False when the
// swap could not be made, or not made durable.
bool replaceFileMovingAside(const std::filesystem::path& source, const std::filesystem::path& target,
                            const std::filesystem::path& aside);

// Creates `directory` and any missing parents; each new directory's entry is
// made durable in its parent. True when the directory exists afterwards.
bool createDirectories(const std::filesystem::path& directory);

// Removes whatever stands at `path`: a file, or a directory with everything
// in it. True when nothing is left there (also when nothing was).
bool removeAll(const std::filesystem::path& path);

// ---- Watching file changes (tests) -------------------------------------------

// One change about to be made, or just made, through the functions above.
struct FileChange {
    enum class Kind {
        create,         // `path` created or truncated to empty
        write,          // `length` bytes of `data` at `offset`
        truncate,       // cut or extended to `offset`
        flush,          // the data of `path` made durable
        rename,         // `path` moved over `target`
        remove,         // the file or empty directory `path` removed
        makeDirectory,  // the directory `path` created
        syncDirectory,  // the entries of the directory `path` made durable
    };
    Kind kind;
    const std::filesystem::path& path;
    const std::filesystem::path* target = nullptr;
    std::uint64_t offset = 0;
    const void* data = nullptr;
    std::size_t length = 0;
};

// A layer between the update and the disk, for tests: asked before every
// change (refusing makes the operation fail with the disk untouched) and told
// after each one succeeded. Reads are not reported.
class FileLayer {
public:
    virtual ~FileLayer() = default;
    virtual bool before(const FileChange& change) = 0;
    virtual void after(const FileChange& change) = 0;
};

// Installs `layer` for every thread (nullptr removes it). Without a layer
// each operation costs one pointer test more than the bare system call.
// Files opened before the layer was installed report an empty path.
void setFileLayer(FileLayer* layer);

}  // namespace kiv

// kivtool: the operator's command-line companion. Each command group lives in
// its own file and is listed in kivtool.cpp.
#pragma once

#include "patch/crypto.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::tool {

using Args = std::vector<std::wstring>;

// Exit statuses: 0 success, 1 the system reported a failure, 2 usage error.
// A command returns kExitUsage for arguments it cannot take; kivtool then
// prints the command's usage line from its table.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Writes text to standard output / standard error as UTF-8.
void out(std::wstring_view text);
void err(std::wstring_view text);
// Writes raw bytes to standard output (item data, downloaded bodies).
bool outBytes(std::string_view bytes);

// Prints "kivtool: " and the message to standard error; returns kExitFailed.
int fail(std::wstring_view message);

// Whether `path` names an existing directory.
bool isExistingDirectory(std::wstring_view path);
// Reads a whole (small) file.
bool readTextFile(std::wstring_view path, std::string& text, std::wstring& error);

// SHA-256 and size of a whole file, read in pieces.
bool hashFile(const std::filesystem::path& path, crypto::Sha256Digest& digest, std::uint64_t& size);
// Creates (or truncates) `path` with `bytes` and makes it durable.
bool writeNewFile(const std::filesystem::path& path, std::string_view bytes);

// Why launchers would not install a published entry as it is listed, as one
// sentence; empty when they would. Beyond the launcher's own entry rule
// (unsafeListEntryReason), a patch file anywhere but directly in "patches"
// is refused: launchers skip it as a patch and never apply it.
std::wstring publishedEntryProblem(std::wstring_view entry);
// The first two of `entries` that Windows would take for one file (equal
// but for letter case, or a file where another entry needs a folder), as a
// sentence naming both; empty when there are none.
std::wstring windowsNameClash(const std::vector<std::wstring>& entries);
// Checks the version folder as a launcher will: the list (read from
// `listFile` in the folder), the release manifest and, with a key, its
// signature, every entry's rules, size and SHA-256. Prints one line per
// problem and returns their number; `files` is the number of list entries.
int checkVersionFolder(const std::filesystem::path& folder, std::int32_t version, const std::string& publicKey,
                       const std::filesystem::path& listFile, std::size_t& files);

// Removes "NAME VALUE" from `args` and puts VALUE in `value`. False when NAME
// is the last word (no value); true, with `value` untouched, when it is absent.
bool takeOption(Args& args, std::wstring_view name, std::wstring& value);

// Whether a --ca-file can be honoured here: on Windows the system's
// certificate store always decides, so it fails with a message instead of
// being ignored.
bool caFileUsable(const std::wstring& caFile);

// Parses a whole signed 32-bit decimal number; false for anything else.
bool parseInt32(std::wstring_view text, std::int32_t& value);

// Command groups: `args` holds the words after the group's name.
int versionCommand(const Args& args);
int listCommand(const Args& args);
int fetchCommand(const Args& args);
int archiveCommand(const Args& args);
int patchCommand(const Args& args);
int updateCommand(const Args& args);
int serveCommand(const Args& args);
int keygenCommand(const Args& args);
int publishCommand(const Args& args);
int verifyCommand(const Args& args);

}  // namespace kiv::tool

// Patch packages: the two patch file formats read into one record, and a
// directory of patch files applied to the installation's archive pairs.
//
// A `.npatch` package is "ZOKAPATCH1", a u16-prefixed UTF-8 archive path, a
// u32 entry count and that many (u16-prefixed name, u32-prefixed data)
// entries. A version-2 package ("ZOKAPATCH2") has the same head; each entry
// carries the new item's size and SHA-256 and holds it whole, compressed, or
// as a delta against the item the archive holds now (see PackageEntryKind).
// A legacy `.cab` patch is a 32-byte salt followed by AES-256-CFB
// ciphertext of a padded serialised object graph, from which the archive
// path and the (file name, byte array) pairs are recovered by a scan.
#pragma once

#include "archive/archive.h"
#include "base/base.h"
#include "patch/crypto.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// One item replacement: the item's name exactly as stored in the patch
// (8-bit bytes, no conversion) and its complete new content.
struct PatchEntry {
    std::string name;
    std::vector<std::uint8_t> data;

    bool operator==(const PatchEntry&) const = default;
};

// One patch file read into memory: the target archive's .hed path as the
// patch writes it, and the replacements in file order (duplicates kept).
struct PatchSet {
    std::wstring archivePath;
    std::vector<PatchEntry> entries;
};

// A patch file opened for storing, its data left where it lies: the target
// archive's path and, per entry in file order, the name and the range of
// `content` that holds its bytes (entries of a legacy patch that name the
// same array name the same range). `content` reads the file when the entries
// are stored, so a patch of any size needs memory for its names only.
//
// A version-2 entry names its item's bytes as segments: each is one zstd
// frame that rebuilds `outputSize` bytes of the item, for a delta with the
// `windowLength` bytes of the old item from `windowOffset` on as its
// reference. A whole entry has no segments; its `size` bytes are the item.
struct PackageSegment {
    std::uint32_t windowOffset = 0;
    std::uint32_t windowLength = 0;
    std::uint32_t outputSize = 0;
    std::uint64_t frameOffset = 0;  // in `content`
    std::uint32_t frameSize = 0;
};

// How a version-2 entry holds its item. The values are the format's.
enum class PackageEntryKind : std::uint8_t { whole = 0, compressed = 1, delta = 2 };

struct PatchEntryRange {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // Version 2 only: what the entry rebuilds and, for a delta, what from.
    bool described = false;
    PackageEntryKind kind = PackageEntryKind::whole;
    std::uint32_t itemSize = 0;
    crypto::Sha256Digest itemSha256{};
    std::uint32_t baseSize = 0;
    crypto::Sha256Digest baseSha256{};
    std::vector<PackageSegment> segments;
};
struct OpenedPatch {
    std::wstring archivePath;
    std::vector<PatchEntryRange> entries;
    std::unique_ptr<ItemSource> content;
};

inline constexpr std::string_view kPatchPackageMagic = "ZOKAPATCH1";
inline constexpr std::string_view kPatchPackageMagic2 = "ZOKAPATCH2";

// Limits of a version-2 package, which bound the launcher's memory whatever
// the item's size: a segment rebuilds at most kMaxSegmentOutput bytes, from a
// reference window of at most kMaxDeltaWindow bytes of the old item, the two
// together at most kMaxSegmentReach bytes.
inline constexpr std::uint32_t kMaxSegmentOutput = 8u << 20;
inline constexpr std::uint32_t kMaxDeltaWindow = 24u << 20;
inline constexpr std::uint32_t kMaxSegmentReach = 28u << 20;

// Reads a `.npatch` package. On failure `patchSet` may hold a partial result
// that the caller discards.
bool readPatchPackage(const std::filesystem::path& path, PatchSet& patchSet, std::wstring& error);

// Checks a whole `.npatch` package (either version), reading its headers and
// skipping its data, with the messages and in the order of
// `readPatchPackage`. The frames of a version-2 entry are checked when they
// are decoded, against the item's recorded digest.
bool openPatchPackage(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error);

// One version-2 entry alone, from the start of `path` (a whole item fetched
// from a release's item store): `patch` holds that entry, with no archive
// path. Delta entries are refused: a stored item stands on its own.
bool openStoredItem(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error);

// One item of a version-2 package for the writer: its name, new bytes and,
// when the archive holds an item of that name, the old bytes to make a delta
// from (empty span and `hasBase` false otherwise).
struct PackageItem {
    std::string name;
    std::span<const std::uint8_t> data;
    std::span<const std::uint8_t> base;
    bool hasBase = false;
};

// A version-2 entry as the writer encodes it: the serialised entry, ready to
// go into a package or an item store, and what it was made of.
struct EncodedEntry {
    std::string name;
    PackageEntryKind kind = PackageEntryKind::whole;
    std::uint32_t itemSize = 0;
    crypto::Sha256Digest itemSha256{};
    std::vector<std::uint8_t> bytes;
};

// Encodes items as version-2 entries, each as the smallest of whole,
// compressed and (with a base) delta, on `threads` threads. Builds without a
// compressor (the Windows build) give whole entries. Throws only for
// allocation failures.
// `level` is zstd's compression level.
std::vector<EncodedEntry> encodePackageItems(std::span<const PackageItem> items, unsigned threads,
                                             bool allowDelta = true, int level = 19);

// Writes a version-2 package of encoded entries, in order.
bool writePatchPackage2(const std::filesystem::path& path, const std::wstring& archivePath,
                        std::span<const EncodedEntry> entries, std::wstring& error);

// Writes `patchSet` as a `.npatch` package (the operator's side of the
// format). Refuses a set whose path, names, data or entry count would not fit
// their fields; nothing is written then.
bool writePatchPackage(const std::filesystem::path& path, const PatchSet& patchSet, std::wstring& error);

// Reads a legacy `.cab` patch: `decryptLegacyPatch`, then `parseLegacyPatch`.
bool readLegacyPatch(const std::filesystem::path& path, PatchSet& patchSet, std::wstring& error);

// Decrypts a legacy patch through a bounded window and scans it as
// `parseLegacyPatch` does, with the same messages; the arrays are decrypted
// again from the file when they are stored.
bool openLegacyPatch(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error);

// Fills `plaintext` with the decrypted, unpadded content of a legacy patch.
bool decryptLegacyPatch(const std::filesystem::path& path, std::vector<std::uint8_t>& plaintext, std::wstring& error);

// Scans a decrypted legacy patch for its archive path and file entries.
// Expects a fresh `patchSet` (empty archive path).
bool parseLegacyPatch(std::span<const std::uint8_t> plaintext, PatchSet& patchSet, std::wstring& error);

// True when the last element of `path` has exactly the extension ".cab" or
// ".npatch" (case-sensitive; ".npatch" alone has no extension).
bool isPatchFile(std::wstring_view path);

// Asked for the whole new item when a delta's base does not match the item
// the archive holds (changed by the player, or damaged): given the item's
// name and its new digest, puts a stored item (openStoredItem) in `file`, or
// fails with a message. Without one, such a patch fails.
using WholeItemFetch = std::function<bool(std::string_view name, const crypto::Sha256Digest& item,
                                          std::filesystem::path& file, std::wstring& error)>;

// Called before each patch file is applied with the number applied so far
// and the number to apply, and once more when all are applied (applied ==
// total). An empty callable is never called.
using PatchProgress = std::function<void(std::size_t applied, std::size_t total)>;

// Applies every patch file in `patchesDir` to the archive pairs under
// `installDir`, in ascending ordinal order of the file names, telling
// `progress` before each one and when all are done. True when `patchesDir`
// does not exist or holds no patch file. Stops at the first failure with
// that step's message; what was applied before stays. File-system errors of
// the directory scan propagate as exceptions.
bool applyPatches(const std::filesystem::path& installDir, const std::filesystem::path& patchesDir,
                  const PatchProgress& progress, std::wstring& error, const WholeItemFetch& fetchWholeItem = {});

// Applies exactly the patch files `files` as applyPatches applies a folder's
// (ascending ordinal order of the file names, same progress and failures)
// and no other. Paths that are not patch files are skipped, a file given
// twice is applied once; true at once, with no progress told, when none is
// left.
bool applyPatchFiles(const std::filesystem::path& installDir, const std::vector<std::filesystem::path>& files,
                     const PatchProgress& progress, std::wstring& error, const WholeItemFetch& fetchWholeItem = {});

}  // namespace kiv

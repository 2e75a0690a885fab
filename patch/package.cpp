// The `.npatch` package: the reader (package_writer.cpp writes).
#include "patch/patch.h"

#include "patch/item_decoder.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace kiv {

namespace {

// The smallest entry: a u16 name length and a u32 data size.
constexpr std::uint64_t kMinimumEntrySize = 6;

// A sequential reader over a file that other processes may go on writing.
// Small fields come from a buffer; large data goes straight into its
// destination, so each data byte is copied once from the file. Once a read
// comes up short every later read fails too, and the caller finds out at its
// next check.
class PackageInput {
public:
    bool open(const std::filesystem::path& path) { return file_.open(path, File::Mode::read) && file_.size(fileSize_); }

    bool read(void* destination, std::size_t length) {
        if (failed_) return false;
        auto* out = static_cast<std::uint8_t*>(destination);
        const std::size_t buffered = std::min(length, end_ - begin_);
        if (buffered > 0) std::memcpy(out, buffer_.data() + begin_, buffered);
        begin_ += buffered;
        out += buffered;
        length -= buffered;
        if (length == 0) return true;
        if (length >= buffer_.size()) {
            if (!file_.readAt(position_, out, length)) return fail();
            position_ += length;
            return true;
        }
        if (!fill()) return fail();
        const std::size_t taken = std::min(length, end_);
        std::memcpy(out, buffer_.data(), taken);
        begin_ = taken;
        if (taken == length) return true;
        // The file gave less than a buffer's worth: ask once more for the rest.
        if (!file_.readAt(position_, out + taken, length - taken)) return fail();
        position_ += length - taken;
        return true;
    }

    bool u16(std::uint16_t& value) {
        std::uint8_t bytes[2];
        if (!read(bytes, sizeof bytes)) return false;
        value = loadLe16(bytes);
        return true;
    }

    bool u32(std::uint32_t& value) {
        std::uint8_t bytes[4];
        if (!read(bytes, sizeof bytes)) return false;
        value = loadLe32(bytes);
        return true;
    }

    // What is left of the file after the bytes consumed so far. The size is
    // asked again when it would refuse `wanted`, in case the file has grown.
    std::uint64_t remaining(std::uint64_t wanted = 0) {
        const std::uint64_t consumed = position_ - (end_ - begin_);
        std::uint64_t size = fileSize_;
        if (size < consumed || size - consumed < wanted) file_.size(size);
        fileSize_ = size;
        return size > consumed ? size - consumed : 0;
    }

    // Passes over `length` bytes without reading them.
    void skip(std::uint64_t length) {
        const auto buffered = static_cast<std::size_t>(std::min<std::uint64_t>(length, end_ - begin_));
        begin_ += buffered;
        position_ += length - buffered;
    }

    // File offset of the next byte to be consumed.
    std::uint64_t offset() const { return position_ - (end_ - begin_); }

    const File& file() const { return file_; }
    File releaseFile() { return std::move(file_); }

    bool failed() const { return failed_; }

private:
    bool fill() {
        begin_ = end_ = 0;
        std::int64_t got = file_.readSomeAt(position_, buffer_.data(), buffer_.size());
        if (got <= 0) return false;
        end_ = static_cast<std::size_t>(got);
        position_ += end_;
        return true;
    }

    bool fail() {
        failed_ = true;
        begin_ = end_ = 0;
        return false;
    }

    File file_;
    std::uint64_t fileSize_ = 0;
    std::uint64_t position_ = 0;  // file offset of the byte after the buffer
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64 * 1024);
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool failed_ = false;
};

// The entries' bytes, read from the package file when they are stored.
class PackageContent : public ItemSource {
public:
    explicit PackageContent(File file) : file_(std::move(file)) {}
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        return file_.readAt(offset, out.data(), out.size());
    }

private:
    File file_;
};

// The smallest version-2 entry: name length, kind, size and digest.
constexpr std::uint64_t kMinimumEntrySize2 = 2 + 1 + 4 + 32;

// Reads what follows a version-2 entry's name: its description and the
// layout of its data, which is checked to fit the file and the format's
// limits and then passed over. Null on success, else the message.
const wchar_t* readEntry2(PackageInput& input, PatchEntryRange& entry, bool allowDelta) {
    std::uint8_t kind = 0;
    input.read(&kind, 1);
    input.u32(entry.itemSize);
    input.read(entry.itemSha256.data(), entry.itemSha256.size());
    if (input.failed()) return L"Invalid patch entry data size.";
    if (kind > static_cast<std::uint8_t>(PackageEntryKind::delta) ||
        (!allowDelta && kind == static_cast<std::uint8_t>(PackageEntryKind::delta))) {
        return L"Invalid patch entry kind.";
    }
    entry.described = true;
    entry.kind = static_cast<PackageEntryKind>(kind);
    if (entry.kind == PackageEntryKind::whole) {
        if (entry.itemSize > input.remaining(entry.itemSize)) return L"Patch package ended unexpectedly.";
        entry.offset = input.offset();
        entry.size = entry.itemSize;
        input.skip(entry.itemSize);
        return nullptr;
    }
    const bool delta = entry.kind == PackageEntryKind::delta;
    if (delta) {
        input.u32(entry.baseSize);
        input.read(entry.baseSha256.data(), entry.baseSha256.size());
    }
    std::uint32_t count = 0;
    input.u32(count);
    if (input.failed()) return L"Patch package ended unexpectedly.";
    const std::uint64_t segmentHead = delta ? 16 : 8;
    // As with the entry count, the declared count is believed only as far as
    // the file could hold it.
    if (count > input.remaining() / segmentHead) return L"Patch package ended unexpectedly.";
    entry.segments.reserve(count);
    entry.offset = input.offset();
    std::uint64_t rebuilt = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        PackageSegment segment;
        if (delta) {
            input.u32(segment.windowOffset);
            input.u32(segment.windowLength);
        }
        input.u32(segment.outputSize);
        input.u32(segment.frameSize);
        if (input.failed()) return L"Patch package ended unexpectedly.";
        // Each limit bounds a buffer the launcher makes for the segment.
        if (segment.outputSize == 0 || segment.outputSize > kMaxSegmentOutput ||
            segment.frameSize > ZSTD_COMPRESSBOUND(kMaxSegmentOutput) || segment.windowLength > kMaxDeltaWindow ||
            std::uint64_t{segment.windowLength} + segment.outputSize > kMaxSegmentReach ||
            std::uint64_t{segment.windowOffset} + segment.windowLength > entry.baseSize) {
            return L"Invalid patch entry segment.";
        }
        if (segment.frameSize > input.remaining(segment.frameSize)) return L"Patch package ended unexpectedly.";
        segment.frameOffset = input.offset();
        input.skip(segment.frameSize);
        rebuilt += segment.outputSize;
        entry.segments.push_back(segment);
    }
    if (rebuilt != entry.itemSize) return L"Invalid patch entry segment.";
    entry.size = input.offset() - entry.offset;
    return nullptr;
}

}  // namespace

bool openPatchPackage(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error) {
    PackageInput input;
    if (!input.open(path)) {
        error = L"Could not open patch package.";
        return false;
    }

    char magic[10];
    const bool readMagic = input.read(magic, sizeof magic);
    const std::string_view seen(magic, readMagic ? sizeof magic : 0);
    const bool version2 = seen == kPatchPackageMagic2;
    if (seen != kPatchPackageMagic && !version2) {
        error = L"Unsupported patch package.";
        return false;
    }

    std::uint16_t pathLength = 0;
    if (!input.u16(pathLength)) {
        error = L"Invalid patch archive path length.";
        return false;
    }
    std::string archivePath(pathLength, '\0');
    std::uint32_t entryCount = 0;
    input.read(archivePath.data(), archivePath.size());
    input.u32(entryCount);
    if (input.failed()) {
        error = L"Invalid patch entry count.";
        return false;
    }
    patch.archivePath = utf8ToWide(archivePath);

    // Reserve only for as many entries as the rest of the file could hold:
    // a declared count never makes the reader allocate more than the file
    // justifies.
    patch.entries.clear();
    patch.entries.reserve(static_cast<std::size_t>(
        std::min<std::uint64_t>(entryCount, input.remaining() / (version2 ? kMinimumEntrySize2 : kMinimumEntrySize))));

    // A failure leaves the entries checked so far readable, as a partial
    // result.
    const auto fail = [&](const wchar_t* message) {
        error = message;
        patch.content = std::make_unique<PackageContent>(input.releaseFile());
        return false;
    };
    for (std::uint32_t index = 0; index < entryCount; ++index) {
        std::uint16_t nameLength = 0;
        if (!input.u16(nameLength)) return fail(L"Invalid patch entry name length.");
        PatchEntryRange entry;
        entry.name.resize(nameLength);
        if (version2) {
            input.read(entry.name.data(), entry.name.size());
            if (const wchar_t* message = readEntry2(input, entry, true)) return fail(message);
            patch.entries.push_back(std::move(entry));
            continue;
        }
        std::uint32_t dataSize = 0;
        input.read(entry.name.data(), entry.name.size());
        input.u32(dataSize);
        if (input.failed()) return fail(L"Invalid patch entry data size.");
        // The data must be there in full; it is passed over, not read.
        if (dataSize > input.remaining(dataSize)) return fail(L"Patch package ended unexpectedly.");
        entry.offset = input.offset();
        entry.size = dataSize;
        input.skip(dataSize);
        patch.entries.push_back(std::move(entry));
    }
    patch.content = std::make_unique<PackageContent>(input.releaseFile());
    return true;
}

bool openStoredItem(const std::filesystem::path& path, OpenedPatch& patch, std::wstring& error) {
    PackageInput input;
    if (!input.open(path)) {
        error = L"Could not open patch package.";
        return false;
    }
    patch = {};
    PatchEntryRange entry;
    std::uint16_t nameLength = 0;
    input.u16(nameLength);
    entry.name.resize(nameLength);
    input.read(entry.name.data(), entry.name.size());
    if (input.failed()) {
        error = L"Invalid patch entry data size.";
        return false;
    }
    if (const wchar_t* message = readEntry2(input, entry, false)) {
        error = message;
        return false;
    }
    patch.entries.push_back(std::move(entry));
    patch.content = std::make_unique<PackageContent>(input.releaseFile());
    return true;
}

bool readPatchPackage(const std::filesystem::path& path, PatchSet& patchSet, std::wstring& error) {
    OpenedPatch patch;
    const bool opened = openPatchPackage(path, patch, error);
    if (!opened && patch.content == nullptr) return false;
    patchSet.archivePath = std::move(patch.archivePath);
    patchSet.entries.clear();
    patchSet.entries.reserve(patch.entries.size());
    ItemDecoder decoder;
    for (PatchEntryRange& range : patch.entries) {
        if (range.kind == PackageEntryKind::delta) {
            error = L"Patch package holds deltas, which apply only to the items they were made from.";
            return false;
        }
        const std::uint64_t size = range.described ? range.itemSize : range.size;
        PatchEntry entry{range.name, std::vector<std::uint8_t>(static_cast<std::size_t>(size))};
        if (range.described) {
            // Rebuilt and checked against the entry's digest, as when applied.
            if (!decoder.read(decoder.add(range, *patch.content, nullptr, 0), entry.data)) {
                error = decoder.failure();
                return false;
            }
        } else if (!patch.content->read(range.offset, entry.data)) {
            // The entries were checked; their data can only come up short now
            // if the file was cut meanwhile.
            error = L"Patch package ended unexpectedly.";
            return false;
        }
        patchSet.entries.push_back(std::move(entry));
    }
    return opened;
}

}  // namespace kiv

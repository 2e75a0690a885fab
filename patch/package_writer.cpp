// Writing `.npatch` packages: version 1 as given, and version 2 with each
// item encoded as the smallest of whole, compressed and delta, the work
// spread over threads segment by segment.
#include "patch/patch.h"

#if KIV_HAVE_ZSTD_COMPRESSOR
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_enableLongDistanceMatching's companions
#include <zstd.h>
#endif

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <thread>

namespace kiv {

namespace {

// Writes a package through `write` into a file beside `path` and renames it
// over the target once whole and flushed, so that a failed write never
// leaves a truncated package under the final name.
bool writePackageFile(const std::filesystem::path& path, std::wstring& error, const std::function<bool(File&)>& write) {
    std::filesystem::path temporary = path;
    temporary += L".tmp";
    File file;
    const bool written = file.open(temporary, File::Mode::create) && write(file);
    file.close();
    if (!written || !replaceFile(temporary, path)) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        error = L"Could not write patch package.";
        return false;
    }
    return true;
}

// Collects the bytes of a package and writes them in large pieces.
class PackageOutput {
public:
    explicit PackageOutput(File& file) : file_(file) {}

    void u16(std::uint16_t value) {
        std::uint8_t bytes[2];
        storeLe16(bytes, value);
        append(bytes, sizeof bytes);
    }
    void u32(std::uint32_t value) {
        std::uint8_t bytes[4];
        storeLe32(bytes, value);
        append(bytes, sizeof bytes);
    }
    void append(const void* data, std::size_t length) {
        if (failed_) return;
        if (pending_.size() + length > kChunk) flush();
        if (length >= kChunk) {
            failed_ = failed_ || !file_.writeAt(position_, data, length);
            position_ += length;
            return;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        pending_.insert(pending_.end(), bytes, bytes + length);
    }
    bool finish() {
        flush();
        return !failed_ && file_.flush();
    }

private:
    static constexpr std::size_t kChunk = 256 * 1024;

    void flush() {
        if (failed_ || pending_.empty()) return;
        failed_ = !file_.writeAt(position_, pending_.data(), pending_.size());
        position_ += pending_.size();
        pending_.clear();
    }

    File& file_;
    std::uint64_t position_ = 0;
    std::vector<std::uint8_t> pending_;
    bool failed_ = false;
};

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    storeLe32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

// One segment of one item, compressed alone or against a stretch of the old item.
struct Job {
    std::size_t item = 0;
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    bool delta = false;
    std::uint32_t windowOffset = 0;
    std::uint32_t windowLength = 0;
    std::vector<std::uint8_t> frame;
    bool done = false;
};

// The reference window of a segment: the stretch of the old item around the
// place that corresponds to the segment in the new one, as long as the
// format allows (the whole old item when it fits).
void placeWindow(Job& job, std::uint64_t newSize, std::uint64_t baseSize) {
    if (baseSize <= kMaxDeltaWindow) {
        job.windowOffset = 0;
        job.windowLength = static_cast<std::uint32_t>(baseSize);
        return;
    }
    const std::uint64_t middle =
        (std::uint64_t{job.start} + job.length / 2) * baseSize / std::max<std::uint64_t>(newSize, 1);
    const std::uint64_t first = middle > kMaxDeltaWindow / 2 ? middle - kMaxDeltaWindow / 2 : 0;
    job.windowOffset = static_cast<std::uint32_t>(std::min<std::uint64_t>(first, baseSize - kMaxDeltaWindow));
    job.windowLength = kMaxDeltaWindow;
}

#if KIV_HAVE_ZSTD_COMPRESSOR
void compress(Job& job, const PackageItem& item, int level, ZSTD_CCtx* context) {
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
    const std::uint64_t reach = std::uint64_t{job.windowLength} + job.length;
    if (job.delta) {
        // The window must reach back over the whole reference.
        int windowLog = 10;
        while (windowLog < 27 && (std::uint64_t{1} << windowLog) < reach) ++windowLog;
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
        // Far matches in a large reference, as zstd's own --patch-from does.
        if (reach > (8u << 20)) ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_refPrefix(context, item.base.data() + job.windowOffset, job.windowLength);
    }
    job.frame.resize(ZSTD_compressBound(job.length));
    const std::size_t made =
        ZSTD_compress2(context, job.frame.data(), job.frame.size(), item.data.data() + job.start, job.length);
    if (ZSTD_isError(made)) {
        job.frame.clear();
        return;
    }
    job.frame.resize(made);
    job.frame.shrink_to_fit();
    job.done = true;
}
#endif

void runJobs(std::vector<Job>& jobs, std::span<const PackageItem> items, int level, unsigned threads) {
#if KIV_HAVE_ZSTD_COMPRESSOR
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        ZSTD_CCtx* context = ZSTD_createCCtx();
        for (std::size_t k; (k = next.fetch_add(1)) < jobs.size();)
            compress(jobs[k], items[jobs[k].item], level, context);
        ZSTD_freeCCtx(context);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::max(threads, 1u); ++t) pool.emplace_back(work);
    work();
    for (std::thread& thread : pool) thread.join();
#else
    (void)jobs, (void)items, (void)level, (void)threads;
#endif
}

// The segments of every item, in the given mode; items whose mode does not
// apply get none.
std::vector<Job> plan(std::span<const PackageItem> items, bool delta, const std::vector<bool>& wanted) {
    std::vector<Job> jobs;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!wanted[i] || (delta && !items[i].hasBase)) continue;
        const std::uint64_t size = items[i].data.size();
        // Long segments where the reference leaves room for them: each
        // segment indexes its whole window again, so fewer segments publish
        // faster. Beside a full window they are shorter, within the reach.
        const std::uint64_t window = delta ? std::min<std::uint64_t>(items[i].base.size(), kMaxDeltaWindow) : 0;
        const std::uint64_t segment = std::min<std::uint64_t>(kMaxSegmentOutput, kMaxSegmentReach - window);
        for (std::uint64_t start = 0; start < size; start += segment) {
            Job job;
            job.item = i;
            job.start = static_cast<std::uint32_t>(start);
            job.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(segment, size - start));
            job.delta = delta;
            if (delta) placeWindow(job, size, items[i].base.size());
            jobs.push_back(std::move(job));
        }
    }
    return jobs;
}

// The payload of a compressed or delta entry from its jobs; empty when a
// segment could not be compressed.
struct Payload {
    std::vector<std::uint8_t> bytes;
    bool valid = false;
};
std::vector<Payload> assemble(const std::vector<Job>& jobs, std::size_t itemCount) {
    std::vector<Payload> payloads(itemCount);
    std::vector<std::uint32_t> counts(itemCount, 0);
    for (const Job& job : jobs) ++counts[job.item];
    for (std::size_t i = 0; i < itemCount; ++i) {
        if (counts[i] == 0) continue;
        payloads[i].valid = true;
        putLe32(payloads[i].bytes, counts[i]);
    }
    for (const Job& job : jobs) {
        Payload& payload = payloads[job.item];
        if (!job.done) payload.valid = false;
        if (!payload.valid) continue;
        if (job.delta) {
            putLe32(payload.bytes, job.windowOffset);
            putLe32(payload.bytes, job.windowLength);
        }
        putLe32(payload.bytes, job.length);
        putLe32(payload.bytes, static_cast<std::uint32_t>(job.frame.size()));
        payload.bytes.insert(payload.bytes.end(), job.frame.begin(), job.frame.end());
    }
    return payloads;
}

crypto::Sha256Digest digestOf(std::span<const std::uint8_t> bytes) {
    crypto::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    crypto::Sha256Digest digest{};
    hash.finish(digest);
    return digest;
}

}  // namespace

std::vector<EncodedEntry> encodePackageItems(std::span<const PackageItem> items, unsigned threads, bool allowDelta,
                                             int level) {
    const std::size_t count = items.size();
    // Items that are copies of another (the same new bytes from the same old
    // ones: programs installed under several names, assets shared between
    // folders) are encoded once.
    std::vector<crypto::Sha256Digest> digests(count), baseDigests(count);
    std::vector<std::size_t> original(count);
    std::map<std::pair<crypto::Sha256Digest, crypto::Sha256Digest>, std::size_t> firsts;
    for (std::size_t i = 0; i < count; ++i) {
        digests[i] = digestOf(items[i].data);
        if (items[i].hasBase) baseDigests[i] = digestOf(items[i].base);
        crypto::Sha256Digest key = baseDigests[i];
        key[0] ^= items[i].hasBase ? 1 : 0;  // no base differs from an empty one
        original[i] = firsts.try_emplace({digests[i], key}, i).first->second;
    }
    std::vector<Payload> deltas(count);
    std::vector<bool> wanted(count);
    for (std::size_t i = 0; i < count; ++i) wanted[i] = original[i] == i;
    if (allowDelta) {
        std::vector<Job> jobs = plan(items, true, wanted);
        runJobs(jobs, items, level, threads);
        deltas = assemble(jobs, count);
    }
    // Compressing alone is tried only where no delta did well: a reference
    // that does not help costs a delta little, so this rarely wins
    // otherwise, and it would double the work.
    for (std::size_t i = 0; i < count; ++i) {
        wanted[i] = original[i] == i && (!deltas[i].valid || deltas[i].bytes.size() > items[i].data.size() / 2);
    }
    std::vector<Job> jobs = plan(items, false, wanted);
    runJobs(jobs, items, level, threads);
    std::vector<Payload> alone = assemble(jobs, count);
    for (std::size_t i = 0; i < count; ++i) {
        if (original[i] == i) continue;
        deltas[i] = deltas[original[i]];
        alone[i] = alone[original[i]];
    }

    std::vector<EncodedEntry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
        const PackageItem& item = items[i];
        EncodedEntry& entry = entries[i];
        entry.name = item.name;
        entry.itemSize = static_cast<std::uint32_t>(item.data.size());
        entry.itemSha256 = digests[i];
        // Whole costs its bytes; the others their payload and, for a delta,
        // the base's size and digest.
        std::uint64_t best = item.data.size();
        entry.kind = PackageEntryKind::whole;
        if (alone[i].valid && alone[i].bytes.size() < best) {
            best = alone[i].bytes.size();
            entry.kind = PackageEntryKind::compressed;
        }
        if (deltas[i].valid && deltas[i].bytes.size() + 36 < best) entry.kind = PackageEntryKind::delta;

        std::vector<std::uint8_t>& out = entry.bytes;
        std::uint8_t length[2];
        storeLe16(length, static_cast<std::uint16_t>(item.name.size()));
        out.insert(out.end(), length, length + 2);
        out.insert(out.end(), item.name.begin(), item.name.end());
        out.push_back(static_cast<std::uint8_t>(entry.kind));
        putLe32(out, entry.itemSize);
        out.insert(out.end(), entry.itemSha256.begin(), entry.itemSha256.end());
        switch (entry.kind) {
            case PackageEntryKind::whole: out.insert(out.end(), item.data.begin(), item.data.end()); break;
            case PackageEntryKind::compressed:
                out.insert(out.end(), alone[i].bytes.begin(), alone[i].bytes.end());
                break;
            case PackageEntryKind::delta: {
                putLe32(out, static_cast<std::uint32_t>(item.base.size()));
                out.insert(out.end(), baseDigests[i].begin(), baseDigests[i].end());
                out.insert(out.end(), deltas[i].bytes.begin(), deltas[i].bytes.end());
                break;
            }
        }
    }
    return entries;
}

bool writePatchPackage2(const std::filesystem::path& path, const std::wstring& archivePath,
                        std::span<const EncodedEntry> entries, std::wstring& error) {
    const std::string pathBytes = wideToUtf8(archivePath);
    if (pathBytes.size() > std::numeric_limits<std::uint16_t>::max()) {
        error = L"Patch archive path is too long for a patch package.";
        return false;
    }
    for (const EncodedEntry& entry : entries) {
        if (entry.name.size() > std::numeric_limits<std::uint16_t>::max()) {
            error = L"Patch entry name is too long for a patch package.";
            return false;
        }
        if (entry.itemSize != entry.bytes.size() && entry.kind == PackageEntryKind::whole &&
            entry.bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
            error = L"Patch entry data is too large for a patch package.";
            return false;
        }
    }
    std::vector<std::uint8_t> head;
    head.reserve(kPatchPackageMagic2.size() + 2 + pathBytes.size() + 4);
    head.insert(head.end(), kPatchPackageMagic2.begin(), kPatchPackageMagic2.end());
    std::uint8_t length[2];
    storeLe16(length, static_cast<std::uint16_t>(pathBytes.size()));
    head.insert(head.end(), length, length + 2);
    head.insert(head.end(), pathBytes.begin(), pathBytes.end());
    putLe32(head, static_cast<std::uint32_t>(entries.size()));

    return writePackageFile(path, error, [&](File& file) {
        bool written = file.writeAt(0, head.data(), head.size());
        std::uint64_t at = head.size();
        for (const EncodedEntry& entry : entries) {
            if (!written) break;
            written = file.writeAt(at, entry.bytes.data(), entry.bytes.size());
            at += entry.bytes.size();
        }
        return written && file.flush();
    });
}

bool writePatchPackage(const std::filesystem::path& path, const PatchSet& patchSet, std::wstring& error) {
    const std::string archivePath = wideToUtf8(patchSet.archivePath);
    if (archivePath.size() > std::numeric_limits<std::uint16_t>::max()) {
        error = L"Patch archive path is too long for a patch package.";
        return false;
    }
    if (patchSet.entries.size() > std::numeric_limits<std::uint32_t>::max()) {
        error = L"Patch package has too many entries.";
        return false;
    }
    for (const PatchEntry& entry : patchSet.entries) {
        if (entry.name.size() > std::numeric_limits<std::uint16_t>::max()) {
            error = L"Patch entry name is too long for a patch package.";
            return false;
        }
        if (entry.data.size() > std::numeric_limits<std::uint32_t>::max()) {
            error = L"Patch entry data is too large for a patch package.";
            return false;
        }
    }

    return writePackageFile(path, error, [&](File& file) {
        PackageOutput output(file);
        output.append(kPatchPackageMagic.data(), kPatchPackageMagic.size());
        output.u16(static_cast<std::uint16_t>(archivePath.size()));
        output.append(archivePath.data(), archivePath.size());
        output.u32(static_cast<std::uint32_t>(patchSet.entries.size()));
        for (const PatchEntry& entry : patchSet.entries) {
            output.u16(static_cast<std::uint16_t>(entry.name.size()));
            output.append(entry.name.data(), entry.name.size());
            output.u32(static_cast<std::uint32_t>(entry.data.size()));
            output.append(entry.data.data(), entry.data.size());
        }
        return output.finish();
    });
}

}  // namespace kiv

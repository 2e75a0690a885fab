// kivtool archive: create, list, read and write items of a .hed/.dat pair.
#include "tools/kivtool.h"

#include "archive/archive.h"
#include "base/base.h"

#include <limits>
#include <system_error>

namespace kiv::tool {

namespace {

// Item names are byte strings; on the command line they are text, taken as UTF-8.
std::string itemName(const std::wstring& text) { return wideToUtf8(text); }

bool readWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes) {
    File file;
    std::uint64_t size = 0;
    if (!file.open(path, File::Mode::read) || !file.size(size) || size > std::numeric_limits<std::size_t>::max()) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size));
    return file.readAt(0, bytes.data(), bytes.size());
}

int create(const std::wstring& hedText) {
    const std::filesystem::path hed = toPath(hedText);
    std::filesystem::path dat = hed;
    dat.replace_extension(".dat");
    std::error_code ignored;
    if (std::filesystem::exists(hed, ignored) || std::filesystem::exists(dat, ignored)) {
        return fail(L"Archive pair already exists.");
    }
    // An empty filename block (count 0) at the start of the .dat; the head,
    // written last, points at it.
    std::uint8_t block[4] = {0, 0, 0, 0};
    std::uint8_t head[kArchiveHeadSize];
    storeLe32(head, 0);
    storeLe32(head + 4, sizeof block);
    storeLe32(head + 8, sizeof block);
    File file;
    if (!file.open(dat, File::Mode::create) || !file.writeAt(0, block, sizeof block) || !file.flush()) {
        return fail(L"Could not create archive pair.");
    }
    file.close();
    if (!file.open(hed, File::Mode::create) || !file.writeAt(0, head, sizeof head) || !file.flush()) {
        return fail(L"Could not create archive pair.");
    }
    return kExitOk;
}

int list(const std::wstring& hedText) {
    ArchivePair pair;
    std::wstring error;
    if (!pair.open(toPath(hedText), error)) return fail(error);
    for (const ArchiveItem& item : pair.items) {
        std::string line = std::to_string(item.index) + "\t" + item.name + "\t" + std::to_string(item.dataOffset) +
                           "\t" + std::to_string(item.storedSizeWord) + "\t" + std::to_string(item.size) + "\n";
        if (!outBytes(line)) return fail(L"Could not write to standard output.");
    }
    return kExitOk;
}

int put(const std::wstring& hedText, const std::wstring& name, const std::wstring& fileText) {
    std::vector<std::uint8_t> data;
    if (!readWholeFile(toPath(fileText), data)) return fail(L"Could not read input file.");
    ArchivePair pair;
    std::wstring error;
    if (!pair.open(toPath(hedText), error) || !pair.replaceItem(itemName(name), data, error)) return fail(error);
    return kExitOk;
}

int get(const std::wstring& hedText, const std::wstring& nameText, const std::wstring* outText) {
    ArchivePair pair;
    std::wstring error;
    if (!pair.open(toPath(hedText), error)) return fail(error);
    const auto found = pair.nameIndex.find(itemName(nameText));
    if (found == pair.nameIndex.end()) return fail(L"No item of that name in the archive.");
    const ArchiveItem& item = pair.items[static_cast<std::size_t>(found->second)];
    if (item.storedSizeWord != item.size) {
        return fail(L"The item is stored packed; only items stored as they are can be extracted.");
    }
    // The .hed's word for the size is checked against the .dat before any
    // buffer is made from it.
    File dat;
    std::uint64_t datSize = 0;
    if (!dat.open(pair.datPath, File::Mode::read) || !dat.size(datSize) ||
        std::uint64_t{item.dataOffset} + item.size > datSize) {
        return fail(L"Could not read item data.");
    }
    std::vector<std::uint8_t> bytes(item.size);
    if (!dat.readAt(item.dataOffset, bytes.data(), bytes.size())) return fail(L"Could not read item data.");
    if (!outText) {
        if (!outBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
            return fail(L"Could not write to standard output.");
        }
        return kExitOk;
    }
    File out;
    if (!out.open(toPath(*outText), File::Mode::create) || !out.writeAt(0, bytes.data(), bytes.size())) {
        return fail(L"Could not write output file.");
    }
    return kExitOk;
}

}  // namespace

int archiveCommand(const Args& args) {
    if (args.size() == 2 && args[0] == L"create") return create(args[1]);
    if (args.size() == 2 && args[0] == L"list") return list(args[1]);
    if (args.size() == 4 && args[0] == L"put") return put(args[1], args[2], args[3]);
    if ((args.size() == 3 || args.size() == 4) && args[0] == L"get") {
        return get(args[1], args[2], args.size() == 4 ? &args[3] : nullptr);
    }
    return kExitUsage;
}

}  // namespace kiv::tool

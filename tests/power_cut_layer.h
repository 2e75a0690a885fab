// A file layer that plays a power cut. It follows every change the code
// makes under one directory, knowing for each file which bytes are durable
// (its content at its last flush) and for each directory which of its
// entries are (synced), and counts the flush boundaries. At the chosen
// boundary the power goes: that flush and every later change under the
// directory fail, and `restore` then rewrites the directory as the disk
// would hold it after the cut.
#pragma once

#include "base/base.h"
#include "tests/support.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace kiv::test {

class PowerCutLayer : public FileLayer {
public:
    // What becomes of data and entries that were never made durable.
    enum class Loss {
        drop,  // unflushed data lost; entries not synced missing or under their old names
        keep,  // everything the system was given survives
        torn,  // entries as given; of each file's unflushed sectors, the first half written, the rest old
    };

    // Installs itself for `root` (whose contents count as durable). The power
    // goes at boundary `cutAt` (counting from 1); 0 never cuts.
    PowerCutLayer(const std::filesystem::path& root, int cutAt) : root_(root.lexically_normal()), cutAt_(cutAt) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
            nodes_.push_back(entry.is_directory() ? Node() : readFile(entry.path()));
            const std::string key = keyOf(entry.path()).value();
            current_[key] = durable_[key] = nodes_.size() - 1;
        }
        setFileLayer(this);
    }
    ~PowerCutLayer() override { setFileLayer(nullptr); }

    // The files of a version download on several threads at once.
    bool before(const FileChange& change) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!keyOf(change.path)) return true;
        const bool boundary = change.kind == Kind::flush || change.kind == Kind::syncDirectory;
        if (!off_ && boundary && ++boundaries_ == cutAt_) off_ = true;
        return !off_;
    }

    // Data written and cut stands in the files themselves until a flush
    // makes it durable; the layer follows the names and what is durable.
    void after(const FileChange& change) override {
        std::lock_guard<std::mutex> hold(lock_);
        const std::optional<std::string> key = keyOf(change.path);
        if (!key) return;
        // A change to a file the layer does not know throws: the model would be wrong.
        switch (change.kind) {
            case Kind::create:
            case Kind::makeDirectory:
                if (!current_.contains(*key)) {
                    nodes_.push_back(change.kind == Kind::makeDirectory ? Node() : "");
                    current_[*key] = nodes_.size() - 1;
                }
                break;
            case Kind::flush: nodes_[current_.at(*key)] = readFile(change.path); break;
            case Kind::rename:
                current_[keyOf(*change.target).value()] = current_.at(*key);
                current_.erase(*key);
                break;
            case Kind::remove: current_.erase(*key); break;
            case Kind::syncDirectory: {
                const auto inDirectory = [&](const auto& entry) { return parentOf(entry.first) == *key; };
                std::erase_if(durable_, inDirectory);
                std::copy_if(current_.begin(), current_.end(), std::inserter(durable_, durable_.end()), inDirectory);
                break;
            }
            default: break;
        }
    }

    // Flush boundaries passed so far (each file flush and directory sync).
    int boundaries() const { return boundaries_; }
    bool powerWentOff() const { return off_; }

    // Removes the layer and rewrites `root` as it stands after the cut.
    void restore(Loss loss) {
        setFileLayer(nullptr);
        if (loss == Loss::keep) return;
        // Of a torn file, what reached the disk counts with what was durable.
        for (const auto& [name, index] : current_) {
            if (loss == Loss::torn && nodes_[index]) nodes_[index] = torn(*nodes_[index], readFile(root_ / name));
        }
        for (const auto& entry : std::filesystem::directory_iterator(root_)) std::filesystem::remove_all(entry.path());
        // In name order each directory is made before what it holds; an entry
        // whose directory did not survive is gone with it.
        for (const auto& [name, index] : loss == Loss::drop ? durable_ : current_) {
            const std::filesystem::path path = root_ / name;
            if (!std::filesystem::is_directory(path.parent_path())) continue;
            if (!nodes_[index]) {
                std::filesystem::create_directory(path);
            } else {
                writeFile(path, *nodes_[index]);
            }
        }
    }

private:
    std::mutex lock_;
    using Kind = FileChange::Kind;
    // A file's durable bytes; none for a directory.
    using Node = std::optional<std::string>;

    // `path` relative to the root ("" for the root itself); none outside it.
    std::optional<std::string> keyOf(const std::filesystem::path& path) const {
        const std::filesystem::path relative = path.lexically_normal().lexically_relative(root_);
        if (relative.empty() || *relative.begin() == "..") return std::nullopt;
        const std::string key = relative.generic_string();
        return key == "." ? "" : key.substr(0, key.find_last_not_of('/') + 1);
    }

    static std::string parentOf(const std::string& key) { return std::filesystem::path(key).parent_path().string(); }

    // The unflushed 512-byte sectors of a file, the first half of them written.
    static std::string torn(const std::string& durable, std::string current) {
        constexpr std::size_t kSector = 512;
        std::vector<std::size_t> changed;
        for (std::size_t at = 0; at < current.size(); at += kSector) {
            const std::size_t length = std::min(kSector, current.size() - at);
            if (durable.compare(std::min(at, durable.size()), length, current, at, length) != 0) changed.push_back(at);
        }
        for (std::size_t i = changed.size() / 2; i < changed.size(); ++i) {
            for (std::size_t at = changed[i]; at < std::min(current.size(), changed[i] + kSector); ++at) {
                current[at] = at < durable.size() ? durable[at] : '\0';
            }
        }
        return current;
    }

    std::filesystem::path root_;
    int cutAt_;
    int boundaries_ = 0;
    bool off_ = false;
    std::vector<Node> nodes_;
    std::map<std::string, std::size_t> current_;  // name (relative to root) -> node
    std::map<std::string, std::size_t> durable_;
};

}  // namespace kiv::test

#include "tests/power_cut_layer.h"

#include "tests/support.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kiv::test {

namespace {

std::string parentOf(const std::string& key) {
    const auto slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

// The unflushed sectors of a file, the first half of them written.
std::string tornContent(const std::string& durable, const std::string& current) {
    constexpr std::size_t kSector = 512;
    const std::size_t sectors = (current.size() + kSector - 1) / kSector;
    std::vector<std::size_t> changed;
    for (std::size_t s = 0; s < sectors; ++s) {
        const std::size_t from = s * kSector;
        const std::size_t to = std::min(current.size(), from + kSector);
        if (durable.size() < to || durable.compare(from, to - from, current, from, to - from) != 0) changed.push_back(s);
    }
    std::string result = current;
    for (std::size_t i = changed.size() / 2; i < changed.size(); ++i) {
        const std::size_t from = changed[i] * kSector;
        const std::size_t to = std::min(current.size(), from + kSector);
        for (std::size_t at = from; at < to; ++at) result[at] = at < durable.size() ? durable[at] : '\0';
    }
    return result;
}

}  // namespace

PowerCutLayer::PowerCutLayer(const std::filesystem::path& root, int cutAt)
    : root_(root.lexically_normal()), rootKey_(root_.generic_string()), cutAt_(cutAt) {
    while (rootKey_.size() > 1 && rootKey_.back() == '/') rootKey_.pop_back();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
        Node fresh;
        fresh.directory = entry.is_directory();
        if (!fresh.directory) fresh.durable = fresh.current = readFile(entry.path());
        const std::string key = entry.path().lexically_relative(root_).generic_string();
        nodes_.push_back(std::move(fresh));
        current_[key] = durable_[key] = static_cast<int>(nodes_.size() - 1);
    }
    setFileLayer(this);
}

PowerCutLayer::~PowerCutLayer() {
    if (installed_) setFileLayer(nullptr);
}

bool PowerCutLayer::watched(const std::filesystem::path& path, std::string& key) const {
    const std::string full = path.lexically_normal().generic_string();
    if (full.size() <= rootKey_.size() + 1 || full.compare(0, rootKey_.size(), rootKey_) != 0 ||
        full[rootKey_.size()] != '/') {
        key.clear();
        return full == rootKey_ || full == rootKey_ + "/";
    }
    key = full.substr(rootKey_.size() + 1);
    while (!key.empty() && key.back() == '/') key.pop_back();
    return true;
}

int PowerCutLayer::node(const std::string& key) const {
    const auto found = current_.find(key);
    if (found == current_.end()) throw std::logic_error("change to an unknown file: " + key);
    return found->second;
}

bool PowerCutLayer::before(const FileChange& change) {
    std::string key;
    if (!watched(change.path, key)) return true;
    if (off_) return false;
    if (change.kind == FileChange::Kind::flush || change.kind == FileChange::Kind::syncDirectory) {
        if (++boundaries_ == cutAt_) {
            off_ = true;
            return false;
        }
    }
    return true;
}

void PowerCutLayer::after(const FileChange& change) {
    std::string key;
    if (!watched(change.path, key)) return;
    switch (change.kind) {
        case FileChange::Kind::create: {
            const auto found = current_.find(key);
            if (found != current_.end()) {
                nodes_[found->second].current.clear();
            } else {
                nodes_.push_back({});
                current_[key] = static_cast<int>(nodes_.size() - 1);
            }
            break;
        }
        case FileChange::Kind::write: {
            std::string& bytes = nodes_[node(key)].current;
            if (bytes.size() < change.offset + change.length) bytes.resize(change.offset + change.length, '\0');
            std::memcpy(bytes.data() + change.offset, change.data, change.length);
            break;
        }
        case FileChange::Kind::truncate: nodes_[node(key)].current.resize(change.offset, '\0'); break;
        case FileChange::Kind::flush: nodes_[node(key)].durable = nodes_[node(key)].current; break;
        case FileChange::Kind::rename: {
            std::string target;
            if (!watched(*change.target, target)) throw std::logic_error("rename out of the watched directory");
            current_[target] = node(key);
            current_.erase(key);
            break;
        }
        case FileChange::Kind::remove: current_.erase(key); break;
        case FileChange::Kind::makeDirectory:
            nodes_.push_back({true, {}, {}});
            current_[key] = static_cast<int>(nodes_.size() - 1);
            break;
        case FileChange::Kind::syncDirectory:
            std::erase_if(durable_, [&](const auto& entry) { return parentOf(entry.first) == key; });
            for (const auto& [name, index] : current_) {
                if (parentOf(name) == key) durable_[name] = index;
            }
            break;
    }
}

void PowerCutLayer::restore(Loss loss) {
    setFileLayer(nullptr);
    installed_ = false;
    const std::map<std::string, int>& names = loss == Loss::drop ? durable_ : current_;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) std::filesystem::remove_all(entry.path());
    // Shorter names first, so that each directory is made before what it
    // holds; an entry whose directory did not survive is gone with it.
    for (const auto& [name, index] : names) {
        const std::string parent = parentOf(name);
        if (!parent.empty() && !std::filesystem::is_directory(root_ / parent)) continue;
        const Node& n = nodes_[index];
        if (n.directory) {
            std::filesystem::create_directory(root_ / name);
        } else if (loss == Loss::drop) {
            writeFile(root_ / name, n.durable);
        } else {
            writeFile(root_ / name, loss == Loss::keep ? n.current : tornContent(n.durable, n.current));
        }
    }
}

}  // namespace kiv::test

// Inside the file layer: how each backend reports its changes to an
// installed `FileLayer`, and the pieces the two backends share.
#pragma once

#include "base/base.h"

#include <atomic>

namespace kiv::detail {

extern std::atomic<FileLayer*> installedFileLayer;

inline FileLayer* fileLayer() { return installedFileLayer.load(std::memory_order_acquire); }

// Runs `operation` (which returns true on success) between the layer's two
// calls; without a layer, just runs it.
template <class Operation>
bool observed(const FileChange& change, Operation&& operation) {
    FileLayer* layer = fileLayer();
    if (layer == nullptr) return operation();
    if (!layer->before(change)) return false;
    if (!operation()) return false;
    layer->after(change);
    return true;
}

// Makes the entries of `directory` durable (fsync of the directory on POSIX;
// nothing to do on Windows, where the moves are written through).
bool syncDirectoryNative(const std::filesystem::path& directory);

}  // namespace kiv::detail

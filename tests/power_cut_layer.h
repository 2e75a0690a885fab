// A file layer that plays a power cut. It follows every change the code
// makes under one directory, knowing for each file which of its bytes are
// durable (flushed) and for each directory which of its entries are (synced),
// and counts the flush boundaries. At the chosen boundary the power goes:
// that flush and every later change under the directory fail, and `restore`
// then rewrites the directory as the disk would hold it after the cut.
#pragma once

#include "base/base.h"

#include <filesystem>
#include <map>
#include <string>
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
    PowerCutLayer(const std::filesystem::path& root, int cutAt);
    ~PowerCutLayer() override;

    bool before(const FileChange& change) override;
    void after(const FileChange& change) override;

    // Flush boundaries passed so far (each file flush and directory sync).
    int boundaries() const { return boundaries_; }
    bool powerWentOff() const { return off_; }
    // Removes the layer and rewrites `root` as it stands after the cut.
    void restore(Loss loss);

private:
    struct Node {
        bool directory = false;
        std::string durable;
        std::string current;
    };
    bool watched(const std::filesystem::path& path, std::string& key) const;
    int node(const std::string& key) const;

    std::filesystem::path root_;
    std::string rootKey_;
    int cutAt_;
    int boundaries_ = 0;
    bool off_ = false;
    bool installed_ = true;
    std::vector<Node> nodes_;
    std::map<std::string, int> current_;  // name (relative to root) -> node
    std::map<std::string, int> durable_;
};

}  // namespace kiv::test

// Runs the test workload against a pair until it is done or killed:
//   archive_update_child HED STEPS [BATCH]
// Prints "ready" once the pair is open, so that the killer knows the series
// has begun. The pair is opened again every 64 steps, as a patch run opens
// each archive anew. With BATCH, the steps are stored BATCH at a time with
// replaceItems, the pair opened afresh for each batch as for each patch.
#include "archive/archive.h"
#include "base/base.h"
#include "tests/archive_workload.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: archive_update_child HED STEPS [BATCH]\n");
        return 2;
    }
    const std::filesystem::path hed = argv[1];
    const auto steps = kiv::test::workloadSteps(std::atoi(argv[2]));
    const std::size_t batchSize = argc == 4 ? static_cast<std::size_t>(std::atoi(argv[3])) : 0;
    kiv::ArchivePair pair;
    std::wstring error;
    if (!pair.open(hed, error)) {
        std::fprintf(stderr, "%s\n", kiv::wideToUtf8(error).c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (batchSize > 0) {
        for (std::size_t first = 0; first < steps.size(); first += batchSize) {
            if (first > 0 && !pair.open(hed, error)) {
                std::fprintf(stderr, "%s\n", kiv::wideToUtf8(error).c_str());
                return 1;
            }
            const std::size_t last = std::min(steps.size(), first + batchSize);
            std::vector<std::string> contents;
            for (std::size_t k = first; k < last; ++k) {
                contents.push_back(kiv::test::workloadContent(steps[k].name, steps[k].generation));
            }
            std::vector<kiv::ItemReplacement> batch;
            for (std::size_t k = first; k < last; ++k) {
                const std::string& content = contents[k - first];
                batch.push_back({steps[k].name, {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()}});
            }
            if (!pair.replaceItems(batch, error)) {
                std::fprintf(stderr, "%s\n", kiv::wideToUtf8(error).c_str());
                return 1;
            }
        }
        _exit(0);
    }
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (k > 0 && k % 64 == 0 && !pair.open(hed, error)) {
            std::fprintf(stderr, "%s\n", kiv::wideToUtf8(error).c_str());
            return 1;
        }
        const std::string content = kiv::test::workloadContent(steps[k].name, steps[k].generation);
        const std::vector<std::uint8_t> bytes(content.begin(), content.end());
        if (!pair.replaceItem(steps[k].name, bytes, error)) {
            std::fprintf(stderr, "%s\n", kiv::wideToUtf8(error).c_str());
            return 1;
        }
    }
    // Straight out, like a killed process: no exit-time work that a kill
    // could interrupt in the sanitizer's runtime.
    _exit(0);
}

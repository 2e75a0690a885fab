#include "tests/archive_workload.h"

#include "tests/archive_packer.h"
#include "tests/support.h"

#include <map>

namespace kiv::test {

std::vector<std::string> workloadInitialNames() {
    std::vector<std::string> names;
    for (int i = 0; i < kWorkloadInitialItems; ++i) names.push_back("data\\item" + std::to_string(i) + ".bin");
    return names;
}

std::vector<WorkloadStep> workloadSteps(int count) {
    std::vector<WorkloadStep> steps;
    std::vector<std::string> names = workloadInitialNames();
    std::map<std::string, std::uint32_t> generation;
    std::uint32_t state = 12345;
    for (int k = 0; k < count; ++k) {
        state = state * 1103515245u + 12345u;
        std::string name;
        if (k % 3 == 2) {
            name = "data\\added" + std::to_string(k) + ".bin";
            names.push_back(name);
        } else {
            name = names[(state >> 8) % names.size()];
        }
        steps.push_back({name, ++generation[name]});
    }
    return steps;
}

std::string workloadContent(const std::string& name, std::uint32_t generation) {
    std::string content = name + "|" + std::to_string(generation) + "|";
    std::uint32_t state = generation * 2654435761u;
    for (char c : name) state = state * 31u + static_cast<unsigned char>(c);
    const std::size_t filler = (state >> 4) % 4000;
    for (std::size_t i = 0; i < filler; ++i) {
        state = state * 1664525u + 1013904223u;
        content.push_back(static_cast<char>(state >> 24));
    }
    return content;
}

void writeWorkloadPair(const std::filesystem::path& hed) {
    writeUnpackedPair(hed, workloadInitialNames(), [](const std::string& name) { return workloadContent(name, 0); });
}

}  // namespace kiv::test

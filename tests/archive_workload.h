// A long, deterministic series of item replacements and additions, shared by
// the interruption test and the child process it kills. Every item's content
// names the item and its generation, so a reader can tell whole old data and
// whole new data apart from anything else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kiv::test {

struct WorkloadStep {
    std::string name;
    std::uint32_t generation;  // 0 for the contents the pair starts with
};

inline constexpr int kWorkloadInitialItems = 120;

// The names the pair starts with, in index order.
std::vector<std::string> workloadInitialNames();
// The steps, in order: mostly replacements of existing items, every third
// one an addition under a new name.
std::vector<WorkloadStep> workloadSteps(int count);
// The bytes stored for `name` at `generation`: between a few bytes and a few
// kilobytes.
std::string workloadContent(const std::string& name, std::uint32_t generation);
// Writes the starting pair: every initial item at generation 0.
void writeWorkloadPair(const std::filesystem::path& hed);

}  // namespace kiv::test

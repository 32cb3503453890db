#pragma once
// Counts the program's calls of the global operator new, so that a benchmark
// can show how many heap allocations a frame costs. Linking this file in
// replaces operator new for the whole program.

#include <cstdint>

namespace bench {

std::uint64_t allocations_so_far();

}  // namespace bench

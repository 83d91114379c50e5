#pragma once
// Allocation failures on demand: the test program's own operator new, which
// throws std::bad_alloc for chosen allocations as a system out of memory
// would, on the threads of the unit under test only.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor::allocation_faults {

// The ids of the process's threads now; none when they cannot be listed.
std::vector<std::uint32_t> process_threads();

// The next `count` allocations of exactly `bytes` bytes made on one of
// `threads` (at most 64) fail; other threads' never do.
void fail_next(std::size_t bytes, const std::vector<std::uint32_t>& threads, int count = 1);

// How many of those are still to fail.
int pending();

}  // namespace velmor::allocation_faults

#pragma once
// Allocation failures on demand: the test program's own operator new, which
// throws std::bad_alloc for chosen allocations as a system out of memory
// would, made only on the threads of the unit under test.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmor::allocation_faults {

// The ids of the process's threads that exist now (a failure of the snapshot
// leaves the list empty, so that no failure can be armed from it).
std::vector<std::uint32_t> process_threads();

// The threads in `now` that are not in `before`: those a unit started between
// the two snapshots.
std::vector<std::uint32_t> started_between(const std::vector<std::uint32_t>& before,
                                           const std::vector<std::uint32_t>& now);

// The next `count` allocations of exactly `bytes` bytes made on one of
// `threads` fail; other threads' allocations never do. At most 64 threads.
void fail_next(std::size_t bytes, const std::vector<std::uint32_t>& threads, int count = 1);

// How many of those are still to fail.
int pending();

}  // namespace velmor::allocation_faults

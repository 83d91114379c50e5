#pragma once
// Allocation failures on demand: the test program's own operator new, which
// throws std::bad_alloc for chosen allocations as a system out of memory
// would, wherever in the program they are made.

#include <cstddef>

namespace velmor::allocation_faults {

// The next `count` allocations of exactly `bytes` bytes, on any thread, fail.
void fail_next(std::size_t bytes, int count = 1);

// How many of those are still to fail.
int pending();

}  // namespace velmor::allocation_faults

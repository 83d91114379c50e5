#pragma once
// Counts the bytes the process takes from the heap while counting is on, with
// their peak. It stands in for glibc's malloc family, so it sees operator new
// (which allocates with malloc) and RapidJSON's allocator (which calls malloc
// and realloc itself) alike. While counting is off, each call costs one
// extra load and branch, so that timings are not skewed.

#include <cstdint>

namespace velmor::bench {

// Starts counting from zero, or stops.
void count_heap(bool on);
// Bytes taken minus bytes given back since counting started (negative when
// blocks from before were freed), and the highest that figure reached.
std::int64_t heap_in_use();
std::int64_t heap_peak();

}  // namespace velmor::bench

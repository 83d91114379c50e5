#pragma once
// Counts the bytes the process holds on the heap, with their peak. It stands
// in for glibc's malloc family, so it sees operator new (which allocates with
// malloc) and RapidJSON's allocator (which calls malloc and realloc itself)
// alike.

#include <cstddef>

namespace velmor::bench {

// Bytes held now (usable sizes of the live blocks).
std::size_t heap_in_use();
// Sets the peak to what is held now, and returns that.
std::size_t reset_heap_peak();
// The highest heap_in_use since the last reset.
std::size_t heap_peak();

}  // namespace velmor::bench

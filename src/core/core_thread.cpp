#include "core/core_thread.hpp"

#include "core/core_thread_impl.hpp"

namespace velmor {

template void run_core_thread(CoreThreadArgs<SystemSync, SystemCoreCalls>) noexcept;

}  // namespace velmor

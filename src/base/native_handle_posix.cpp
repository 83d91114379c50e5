#include <unistd.h>

#include "base/native_handle.hpp"

namespace velmor {

void detail::close_native_handle(std::intptr_t value) { ::close(static_cast<int>(value)); }

}  // namespace velmor

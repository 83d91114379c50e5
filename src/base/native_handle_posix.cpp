#include <unistd.h>

#include "base/native_handle.hpp"

namespace velmor {

void NativeHandle::close(Value value) { ::close(static_cast<int>(value)); }

}  // namespace velmor

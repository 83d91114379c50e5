#include "base/native_handle.hpp"
#include "base/win.hpp"

namespace velmor {

void NativeHandle::close(Value value) { ::CloseHandle(reinterpret_cast<HANDLE>(value)); }

}  // namespace velmor

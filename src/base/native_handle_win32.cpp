#include "base/native_handle.hpp"
#include "base/win.hpp"

namespace velmor {

void detail::close_native_handle(std::intptr_t value) { ::CloseHandle(reinterpret_cast<HANDLE>(value)); }

}  // namespace velmor

#pragma once
// The error of a failed call to the Service Control Manager.

#include <cstdint>

#include "base/error.hpp"
#include "base/os_error.hpp"

namespace velmor {

// "IO error in winapi call" over the system error `code`. Pass GetLastError()
// straight from the failing call, before anything else can change it.
inline Error winapi_error(std::uint32_t code) { return Error("IO error in winapi call", os_error(code)); }

}  // namespace velmor

#pragma once
// The checks a "start" request's configuration passes before anything else
// happens: present, not blank, not too large, one well-formed JSON value.

#include <cstddef>
#include <optional>
#include <string>

#include "base/error.hpp"

namespace velmor {

inline constexpr std::size_t MAX_CONFIG_BYTES = 4194304;

// Fails with "missing config", "empty config", "config too large (N bytes)"
// or "config is not valid JSON", the first that applies.
Result<> check_config(const std::optional<std::string>& config);

}  // namespace velmor

#include "env/settings.hpp"

namespace velmor::settings {

// Nothing is kept outside Windows: no policy, no allowance.
Result<std::optional<std::string>> read_text(std::string_view) { return std::optional<std::string>(); }

Result<bool> read_flag(std::string_view) { return false; }

Result<> set_flag(std::string_view) { return fail("settings are kept only on Windows"); }

Result<> remove_value(std::string_view) { return {}; }

}  // namespace velmor::settings

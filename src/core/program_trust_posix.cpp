#include "core/program_trust.hpp"

namespace velmor {

// No install command and no registry here: nothing is ever allowed.
Result<bool> read_unsafe_folder_allowance() { return false; }

}  // namespace velmor

#include "core/program_trust.hpp"
#include "env/settings.hpp"

namespace velmor {

// REG_DWORD 1 from the install command, REG_SZ "1" from the package's
// ALLOWUNSAFEFOLDER property (another text, empty when it was not set,
// allows nothing); a key that others may change allows nothing.
Result<bool> read_unsafe_folder_allowance() { return settings::read_flag(settings::ALLOW_UNSAFE_FOLDER); }

}  // namespace velmor

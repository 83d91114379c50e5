#pragma once
// Preparing the data folder when the helper starts, before any client can
// ask for a core: at boot that is before any user has logged on, so nobody
// can have made `Velmor` first. Service routine or console main thread.

#include <chrono>

#include "control/actions.hpp"

namespace velmor {

// How long the starting helper waits for the preparation before it serves
// anyway; a preparation still running then goes on on its own thread.
inline constexpr std::chrono::seconds DATA_FOLDER_AT_START_BOUND{10};

// Runs the data folder step of `actions` (prepare_data_folder in the helper)
// on the service data folder on a thread of its own and waits for it at most
// `bound`. What cannot be made safe is logged once
// by the preparation itself ("data folder is not safe: ..."); the next start
// request tries again. Never fails: the helper serves either way. New lines:
// "data folder: still being prepared after {n} s; serving without waiting",
// "data folder: not prepared at start: failed to spawn thread". Holds the
// preparation mark of `actions` while it runs, as a start's preparation does.
void prepare_data_folder_at_start(ActionContext& actions,
                                  std::chrono::milliseconds bound = DATA_FOLDER_AT_START_BOUND);

}  // namespace velmor

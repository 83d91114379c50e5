#pragma once
// The POSIX half of the entry module, for a descriptor someone else opened
// (the log file's own).

#include <sys/stat.h>

#include "trust/entry.hpp"

namespace velmor::trust {

// What `info` (fstat of the descriptor) says the entry is, and with
// `with_permissions` its owner and mode bits as permissions.
EntryFacts facts_of(const struct stat& info, bool with_permissions);

}  // namespace velmor::trust

#pragma once
// The POSIX reader of file_trust: owner and mode bits as an owner and a DACL.

#include <sys/stat.h>

#include "trust/file_trust.hpp"

namespace velmor::trust {

// Root and the process's effective user are trusted; a group or everyone
// with the write bit may add entries, and without the sticky bit on a folder
// also delete and rename what is inside; with the read bit, read it.
Permissions permissions_of(const struct stat& info);

}  // namespace velmor::trust

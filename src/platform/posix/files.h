// File-system details of the POSIX layer that tests look at.
#pragma once

#include <string>

#include "common/status.h"

namespace tolven::platform {

// Makes the folder's entries (a rename into it) durable. File systems that
// cannot sync a folder (EINVAL) count as synced.
Status SyncFolder(const std::string& folder);
// How often SyncFolder succeeded for this folder (without trailing separator)
// in this process.
int FolderSyncCount(const std::string& folder);

}  // namespace tolven::platform

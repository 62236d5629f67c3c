// What the Win32 side of the updater calls a name, decided from the attributes and reparse tag
// the system reports for it, so that the name's own query, a folder listing and the lock file's
// open handle all decide alike.
#pragma once

#include "update/fs_os.h"

namespace qv::launcher {

// A reparse point is a link only where its tag stands for another name (symbolic links,
// junctions and mount points carry the name-surrogate bit); any other one (a cloud provider's
// file, an app execution alias) is what it holds. A tag that reads as none counts as a link, so
// an unreadable one is never walked through.
FsEntry fsEntryOfAttributes(unsigned long attributes, unsigned long reparseTag);

} // namespace qv::launcher

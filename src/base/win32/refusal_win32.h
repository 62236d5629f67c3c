// Why Windows refused a change to a file, where the error code alone cannot tell. Shared by the
// Win32 files of the base layer and the updater.
#pragma once

#include <string>

namespace qv::launcher {

// Whether another program holding the file explains an "access denied" for a change to it.
// "Access denied" has many causes: a file in use (a running program's image, a file opened
// without sharing deletion), a folder the user may not change, Controlled Folder Access. The
// system is asked which: opens for deleting and for writing, which a holder that does not share
// them refuses with a sharing or lock violation. False for a folder or a name that finds nothing.
bool heldAgainstChange(const std::wstring& file);

} // namespace qv::launcher

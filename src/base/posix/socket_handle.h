// The socket handle of this host: the file descriptor, with -1 for "no socket".
#pragma once

namespace qv::launcher {

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;

} // namespace qv::launcher

// The socket handle on Windows: a Winsock SOCKET, with the same type and the same "no socket"
// value as Winsock's own, so handles pass between the project and Winsock unchanged.
//
// Winsock's header defines INVALID_SOCKET as a macro; a file that needs <winsock2.h> includes it
// first and undefines that macro before any project header, so this constant is the one seen.
#pragma once

#include <cstdint>

namespace qv::launcher {

using SOCKET = std::uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~SOCKET{0};

} // namespace qv::launcher

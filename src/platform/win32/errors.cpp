#include "platform/errors.h"

#include <winsock2.h>
#include <windows.h>

// The errno table (for the C runtime's errno) is shared with the other
// backends: common/errno_table.cpp. The system's own calls already answer in
// the code space the library reports in.

namespace asynframe::platform {

std::uint32_t last_file_error() noexcept { return static_cast<std::uint32_t>(::GetLastError()); }
std::uint32_t last_socket_error() noexcept { return static_cast<std::uint32_t>(::WSAGetLastError()); }

}  // namespace asynframe::platform

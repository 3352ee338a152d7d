// Error codes at the component boundary are Windows and Winsock codes on every
// platform, so callers' checks (995 aborted, 10061 refused, 2 not found, ...)
// hold everywhere. Native errors are mapped here, in one place.
#pragma once

#include <cstdint>

namespace asynframe::platform {

// Native errors without a Windows counterpart keep their value with this bit set
// (the "customer" bit of the Windows error space, which the system never uses):
// distinguishable from every Windows code and reversible with native_error_of().
inline constexpr std::uint32_t unmapped_error_flag = 0x20000000u;

// A native error (errno) met by a file, pipe or process call.
std::uint32_t file_error_from_errno(int error) noexcept;
// A native error (errno) met by a socket call (Winsock codes where they exist).
std::uint32_t socket_error_from_errno(int error) noexcept;

// The errno a code came from when it had no counterpart; 0 for mapped codes.
int native_error_of(std::uint32_t code) noexcept;

// The calling thread's last native error, mapped.
std::uint32_t last_file_error() noexcept;
std::uint32_t last_socket_error() noexcept;

}  // namespace asynframe::platform

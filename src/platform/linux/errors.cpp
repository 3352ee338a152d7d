#include "platform/errors.h"

#include <cerrno>

// The table from errno is shared with the other backends: common/errno_table.cpp.

namespace asynframe::platform {

std::uint32_t last_file_error() noexcept { return file_error_from_errno(errno); }
std::uint32_t last_socket_error() noexcept { return socket_error_from_errno(errno); }

}  // namespace asynframe::platform

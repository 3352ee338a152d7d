// Reading memory that may not be mapped, without faulting.
#pragma once

#include <cstddef>

namespace asynframe::platform {

// Copies `length` bytes from `address` into `out`; false when any of them is not
// readable (out is then unspecified).
bool safe_read(const void* address, void* out, std::size_t length) noexcept;

}  // namespace asynframe::platform

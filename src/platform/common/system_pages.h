// What each system provides under platform/memory.h: one committed,
// zero-filled, read-write page from the system, and its return. The shared
// bookkeeping of which pages are ours is in common/memory.cpp.
#pragma once

namespace asynframe::platform::detail {

void* map_system_page() noexcept;     // null when the system has none
bool unmap_system_page(void* page) noexcept;

}  // namespace asynframe::platform::detail

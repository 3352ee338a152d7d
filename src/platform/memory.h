// Whole pages straight from the system's virtual memory.
#pragma once

#include <cstdint>

namespace asynframe::platform {

// The system page size in bytes.
std::uint32_t page_size() noexcept;

// One committed, zero-filled, read-write page aligned to the page size; null
// when the system has none to give.
void* alloc_page() noexcept;

// Returns a page from alloc_page(); null is ignored. An address that is not an
// outstanding page of alloc_page() is left alone and gives false.
bool free_page(void* page) noexcept;

}  // namespace asynframe::platform

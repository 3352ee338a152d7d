// Failure injection at the platform layer (docs/architecture.md, "Failure
// injection"). Built only with -DASYNFRAME_FAULT_INJECTION=ON (the `faults`
// preset); otherwise every hook below is a constant 0 and the compiler drops it.
//
// A hook asks whether the call at `site` should fail this time:
//
//     if (const int injected = fault::next(fault::site::send)) { ...fail with injected... }
//
// The answer is 0 (go on), an errno value to fail with, or fault::short_transfer
// (move fewer bytes than asked). The schedule comes from ASYNFRAME_FAULTS and
// ASYNFRAME_FAULT_SEED, read at the first hook, or from configure().
#pragma once

#include <cstdint>

namespace asynframe::platform::fault {

enum class site : std::uint8_t {
    alloc,    // a page of the memory pages service: ENOMEM
    socket,   // socket creation: EMFILE, ENFILE
    accept,   // an accepted connection: EMFILE, ECONNABORTED
    connect,  // starting or finishing a connect: ECONNREFUSED, ETIMEDOUT
    send,     // stream and datagram sends: ECONNRESET, EINTR, EAGAIN, short
    recv,     // stream and datagram receives: ECONNRESET, EINTR, EAGAIN, short
    open,     // opening a file: EMFILE, EACCES
    read,     // file reads: EIO, EINTR, short
    write,    // file writes: EIO, ENOSPC, EINTR, short
    event,    // creating an event: EMFILE
    thread,   // starting a thread: EAGAIN
    count
};

// next() answers this for "move fewer bytes than asked" (never a real errno).
inline constexpr int short_transfer = -1;

#if defined(ASYNFRAME_FAULT_INJECTION) && ASYNFRAME_FAULT_INJECTION
inline constexpr bool enabled = true;
int next(site where) noexcept;
// Replaces the schedule (same syntax as ASYNFRAME_FAULTS); an empty or null
// plan turns every fault off. False, and nothing changed, when it is invalid.
bool configure(const char* plan, std::uint64_t seed) noexcept;
// Faults injected so far, at one site or everywhere (site::count).
std::uint64_t injected(site where = site::count) noexcept;
// Hooks asked so far, at one site or everywhere.
std::uint64_t calls(site where = site::count) noexcept;
const char* site_name(site where) noexcept;
#else
inline constexpr bool enabled = false;
constexpr int next(site) noexcept { return 0; }
#endif

// For a hook in a completion: whether an injected value is a plain error to
// report (short transfers and retryable codes are only injected before a call).
constexpr bool is_error(int injected) noexcept { return injected > 0; }

}  // namespace asynframe::platform::fault

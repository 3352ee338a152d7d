// Winsock is started once per process, on the first call that needs it, and
// never cleaned up: sockets may outlive any one user of the library.
#pragma once

namespace asynframe::platform::win32 {

// True when Winsock 2.2 is available. Thread-safe; the first call starts it.
bool start_winsock() noexcept;

}  // namespace asynframe::platform::win32

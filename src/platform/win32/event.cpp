#include "platform/event.h"

#include <windows.h>

#include <system_error>

namespace asynframe::platform {
namespace {

HANDLE handle_of_event(native_handle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

event::event(bool manual_reset, bool initially_set) : _fd(invalid_handle), _manual_reset(manual_reset) {
    HANDLE handle = ::CreateEventW(nullptr, manual_reset ? TRUE : FALSE, initially_set ? TRUE : FALSE, nullptr);
    if (handle == nullptr)
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEventW");
    _fd = reinterpret_cast<native_handle>(handle);
}

event::~event() {
    if (_fd != invalid_handle) ::CloseHandle(handle_of_event(_fd));
}

void event::set() noexcept {
    // The waiter may destroy this object as soon as the event is set.
    HANDLE handle = handle_of_event(_fd);
    _sets.fetch_add(1, std::memory_order_release);
    ::SetEvent(handle);
}

void event::reset() noexcept { ::ResetEvent(handle_of_event(_fd)); }

bool event::try_acquire() const noexcept {
    // A zero wait takes an auto-reset signal and only looks at a manual-reset one.
    if (::WaitForSingleObject(handle_of_event(_fd), 0) != WAIT_OBJECT_0) return false;
    _sets.load(std::memory_order_acquire);
    return true;
}

bool event::wait(std::uint32_t timeout_ms) noexcept {
    // infinite is INFINITE.
    if (::WaitForSingleObject(handle_of_event(_fd), timeout_ms) != WAIT_OBJECT_0) return false;
    _sets.load(std::memory_order_acquire);
    return true;
}

void reset_caller_event(native_handle handle) noexcept {
    if (handle == invalid_handle || handle == 0) return;
    ::ResetEvent(handle_of_event(handle));
}

}  // namespace asynframe::platform

#include "platform/thread.h"

#include <windows.h>

#include <sstream>
#include <stdexcept>

#include "platform/win32/text.h"

namespace asynframe {

namespace platform {
std::uint32_t current_thread_id() noexcept { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

void name_current_thread(const char* name) noexcept {
    // Absent before Windows 10 1607: looked up, and naming is skipped without it.
    using set_description = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set = [] {
        HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        return kernel != nullptr ? reinterpret_cast<set_description>(
                                       reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "SetThreadDescription")))
                                 : nullptr;
    }();
    if (set == nullptr || name == nullptr) return;
    // The same 15 characters Linux keeps, cut at a character boundary.
    std::size_t length = 0;
    while (length < 15 && name[length] != '\0') ++length;
    if (name[length] != '\0')
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
    try {
        const std::wstring wide = platform::win32::to_utf16(std::string_view(name, length));
        set(::GetCurrentThread(), wide.c_str());
    } catch (...) {
    }
}
}  // namespace platform

thread::thread() : _stop_event(true, false) {}

thread::~thread() {
    if (_started) {
        _stop_event.set();
        join();
    }
}

void thread::start() {
    if (_started) {
        if (running()) throw std::logic_error("last thread not stopped, now startanother thread at one thread obj");
        join();
    }
    _stop_event.reset();
    _running.store(true, std::memory_order_release);
    // An event rather than std::binary_semaphore: libstdc++'s atomic waits
    // before GCC 13 can miss a wake-up where there is no futex (here).
    platform::event id_known(true);
    try {
        _handle = std::thread([this, &id_known] {
            _thread_id.store(platform::current_thread_id(), std::memory_order_release);
            platform::name_current_thread(thread_name());
            id_known.set();
            struct mark_ended {
                std::atomic<bool>& flag;
                ~mark_ended() { flag.store(false, std::memory_order_release); }
            } ended{_running};
            run();
        });
    } catch (...) {
        _running.store(false, std::memory_order_release);
        throw;
    }
    _started = true;
    id_known.wait(platform::infinite);
}

void thread::signal_stop() {
    if (!_started) throw std::logic_error("try to stop a unstart thread");
    _stop_event.set();
}

void thread::stop() {
    if (!_started) return;
    signal_stop();
    // A thread cannot wait for itself; it ends once run() sees the stop event.
    if (in_thread()) return;
    join();
}

void thread::join() {
    std::lock_guard<std::mutex> guard(_join_lock);
    if (_handle.joinable()) _handle.join();
}

bool thread::in_thread() const noexcept {
    const std::uint32_t id = thread_id();
    return id != 0 && id == platform::current_thread_id();
}

void thread::check_thread() const {
    const std::uint32_t caller = platform::current_thread_id();
    const std::uint32_t id = thread_id();
    if (id != caller) {
        std::ostringstream text;
        text << "_thread_id[" << id << "] != current_thread_id[" << caller << "]";
        throw std::logic_error(text.str());
    }
}

}  // namespace asynframe

// Hidden windows for UI-thread dispatch. Each ui_window is a message-only
// window (HWND_MESSAGE) of the creating thread, so whatever message loop runs
// on that thread (the host's own, or the pump functions here) delivers to it.
//
// - Posted messages wait in the window's own list; a window message only kicks
//   the owner to deliver them (one kick on its way at a time). A window
//   destroyed meanwhile hands the list to its discard sink, which a message
//   sitting in the system's queue could not do.
// - Timers are the window's own (SetTimer), delivered as WM_TIMER.
// - A watched handle is waited on by a relay thread, which posts one message
//   each time the handle is signalled and waits until the owner delivered it.
// - Only the owning thread may destroy a window: one destroyed from another
//   thread is cut off at once (nothing more is delivered) and its window is
//   destroyed by the owner at its next message.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "platform/ui_window.h"
#include "platform/win32/text.h"

namespace asynframe::platform {

namespace {

// Private messages of our window class.
constexpr UINT kick_message = WM_APP + 0x21;    // posted messages wait in the window's list
constexpr UINT io_message = WM_APP + 0x22;      // the relay saw the watched handle signalled
constexpr UINT close_message = WM_APP + 0x23;   // destroyed on another thread: the owner ends the window
constexpr UINT pump_end_message = WM_APP + 0x24;  // thread message: what came after it waits for the next pump

constexpr wchar_t class_name[] = L"asynframe.ui_window";

struct posted_message {
    std::uint32_t message;
    std::uintptr_t param;
};

class thread_queue;
struct window_state;

thread_local thread_queue* t_queue = nullptr;

LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

HINSTANCE module_instance() noexcept {
    if (HMODULE module = win32::recorded_module()) return module;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&window_procedure), &module);
    return module;
}

// The class is registered while some thread has a queue and unregistered with
// the last one, so that an unloaded library leaves no class behind. The lock
// keeps one thread's unregistration from slipping between another's
// registration and its window.
std::mutex& class_lock() {
    static std::mutex* lock = new std::mutex;  // outlives static destructors
    return *lock;
}

HWND make_window() noexcept {
    const std::lock_guard<std::mutex> guard(class_lock());
    const HINSTANCE instance = module_instance();
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = class_name;
    if (::RegisterClassExW(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    return ::CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

void forget_class() noexcept {
    const std::lock_guard<std::mutex> guard(class_lock());
    // Fails while another thread still has windows of the class: it is then theirs to do.
    ::UnregisterClassW(class_name, module_instance());
}

// Waits on a watched handle and tells the owner, one message at a time.
class relay {
public:
    relay(HWND hwnd, std::atomic<bool>& pending) noexcept : _hwnd(hwnd), _pending(pending) {}
    relay(const relay&) = delete;
    relay& operator=(const relay&) = delete;
    ~relay() {
        stop();
        for (HANDLE handle : {_watched, _stop, _delivered})
            if (handle != nullptr) ::CloseHandle(handle);
    }

    bool start(HANDLE watched) noexcept {
        // A copy of our own: the owner of the handle may close it before the window goes.
        if (!::DuplicateHandle(::GetCurrentProcess(), watched, ::GetCurrentProcess(), &_watched, 0, FALSE,
                               DUPLICATE_SAME_ACCESS))
            return false;
        _stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        _delivered = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (_stop == nullptr || _delivered == nullptr) return false;
        try {
            _thread = std::thread([this] { run(); });
        } catch (...) {
            return false;
        }
        return true;
    }

    void stop() noexcept {
        if (!_thread.joinable()) return;
        ::SetEvent(_stop);
        _thread.join();
    }

    // Owner thread, after delivering the relay's message.
    void delivered() noexcept { ::SetEvent(_delivered); }

private:
    void run() noexcept {
        name_current_thread("af-ui-relay");
        const HANDLE signalled[2] = {_stop, _watched};
        const HANDLE answered[2] = {_stop, _delivered};
        for (;;) {
            // Ends when stopped, or when the handle can no longer be waited on.
            if (::WaitForMultipleObjects(2, signalled, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
            _pending.store(true, std::memory_order_release);
            while (!::PostMessageW(_hwnd, io_message, 0, 0)) {
                // A full queue drains; a window that is gone does not.
                if (::GetLastError() != ERROR_NOT_ENOUGH_QUOTA) return;
                if (::WaitForSingleObject(_stop, 10) != WAIT_TIMEOUT) return;
            }
            // No faster than the owner delivers.
            if (::WaitForMultipleObjects(2, answered, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        }
    }

    HWND _hwnd;
    std::atomic<bool>& _pending;
    HANDLE _watched = nullptr;
    HANDLE _stop = nullptr;
    HANDLE _delivered = nullptr;
    std::thread _thread;
};

struct window_state {
    thread_queue* queue = nullptr;
    ui_window* window = nullptr;
    HWND hwnd = nullptr;
    std::deque<posted_message> posted;  // under the queue's lock
    bool kicked = false;                // a kick message is on its way
    std::vector<std::uintptr_t> timers; // armed event ids, under the queue's lock
    std::atomic<bool> io_pending{false};
    std::unique_ptr<relay> watcher;
};

}  // namespace

struct ui_window_access {
    static window_state* state(const ui_window* window) noexcept { return static_cast<window_state*>(window->_queue); }
    static void call(ui_window* window, std::uint32_t message, std::uintptr_t param) noexcept {
        window->_proc(window->_context, message, param);
    }
    static ui_window* make(ui_window::procedure proc, void* context, window_state* state) noexcept {
        return new (std::nothrow) ui_window(proc, context, state);
    }
    static void free(ui_window* window) noexcept { delete window; }
};

namespace {

class thread_queue {
public:
    static thread_queue* for_current_thread() noexcept {
        if (t_queue == nullptr) {
            t_queue = new (std::nothrow) thread_queue();
            if (t_queue != nullptr) t_owner_guard.armed = true;
        }
        return t_queue;
    }

    // The calling thread's queue, freeing it first when its last window went
    // away on another thread.
    static thread_queue* current() noexcept {
        thread_queue* queue = t_queue;
        if (queue == nullptr) return nullptr;
        if (queue->idle()) {
            queue->destroy_orphans();
            if (queue->release_if_unused()) return nullptr;
        }
        return queue;
    }

    std::uint32_t owner() const noexcept { return _owner; }

    // Owner thread.
    bool add_window(window_state* state) noexcept {
        state->hwnd = make_window();
        if (state->hwnd == nullptr) return false;
        {
            std::lock_guard<std::mutex> guard(_lock);
            try {
                _windows.push_back(state);
                return true;
            } catch (...) {
            }
        }
        ::DestroyWindow(state->hwnd);
        return false;
    }

    bool watch(window_state* state, HANDLE handle) noexcept {
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
        auto watcher = std::unique_ptr<relay>(new (std::nothrow) relay(state->hwnd, state->io_pending));
        if (watcher == nullptr || !watcher->start(handle)) return false;
        state->watcher.reset();  // a handle watched before is replaced
        state->watcher = std::move(watcher);
        return true;
    }

    void remove_window(window_state* state, ui_window::discard_sink sink, void* context) noexcept {
        const bool owner_thread = current_thread_id() == _owner;
        // The relay first: it posts to the window and reads its state.
        state->watcher.reset();
        std::deque<posted_message> discarded;
        {
            std::unique_lock<std::mutex> guard(_lock);
            // The wait below lets go of the lock; the owner must not free the
            // queue under this thread meanwhile.
            if (!owner_thread) ++_removers;
            _windows.erase(std::remove(_windows.begin(), _windows.end(), state), _windows.end());
            discarded.swap(state->posted);
            if (!owner_thread) {
                // A delivery running on the owner's thread finishes before the window goes.
                _delivered.wait(guard, [&] { return _delivering != state; });
                // Only the owner can destroy the window; it does so at its next
                // message (this one) or pump. Until then the window is ignored.
                try {
                    _orphans.push_back(state->hwnd);
                    ::PostMessageW(state->hwnd, close_message, 0, 0);
                } catch (...) {
                    // The system destroys it with the thread.
                }
                --_removers;
            }
        }
        // The queue may be gone from here on when this is another thread.
        if (owner_thread) ::DestroyWindow(state->hwnd);  // and its timers
        if (sink != nullptr)
            for (const posted_message& m : discarded) sink(context, m.message, m.param);
        delete state;
        if (owner_thread && idle()) release_if_unused();
    }

    bool post(window_state* state, std::uint32_t message, std::uintptr_t param) noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        try {
            state->posted.push_back({message, param});
        } catch (...) {
            return false;
        }
        if (state->kicked) return true;
        // Under the lock, so that a full system queue takes the message back
        // before anyone could deliver it. PostMessage never waits for the owner.
        if (!::PostMessageW(state->hwnd, kick_message, 0, 0)) {
            state->posted.pop_back();
            return false;
        }
        state->kicked = true;
        return true;
    }

    std::uintptr_t set_timer(window_state* state, std::uintptr_t event_id, std::uint32_t period) noexcept {
        if (event_id == 0) return 0;
        if (period < ui_timer_minimum) period = ui_timer_minimum;
        bool added = false;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (std::find(state->timers.begin(), state->timers.end(), event_id) == state->timers.end()) {
                try {
                    state->timers.push_back(event_id);
                } catch (...) {
                    return 0;
                }
                added = true;
            }
        }
        // The same id replaces the timer, and with it any expiry not yet taken.
        if (::SetTimer(state->hwnd, event_id, period, nullptr) != 0) return event_id;
        if (added) {
            std::lock_guard<std::mutex> guard(_lock);
            state->timers.erase(std::remove(state->timers.begin(), state->timers.end(), event_id), state->timers.end());
        }
        return 0;
    }

    bool kill_timer(window_state* state, std::uintptr_t event_id) noexcept {
        bool found;
        {
            std::lock_guard<std::mutex> guard(_lock);
            const auto at = std::find(state->timers.begin(), state->timers.end(), event_id);
            found = at != state->timers.end();
            if (found) state->timers.erase(at);
        }
        ::KillTimer(state->hwnd, event_id);
        return found;
    }

    int pump() noexcept {
        if (_pump_depth > 0) return 0;  // a handler pumping again would reorder delivery
        ++_pump_depth;
        const int before = _delivered_count;
        destroy_orphans();
        // What is posted from now on (handlers post too) waits for the next pump.
        const WPARAM mark = ++_pump_serial;
        const bool marked = ::PostThreadMessageW(::GetCurrentThreadId(), pump_end_message, mark, 0) != 0;
        bool quit = false;
        MSG msg;
        for (int taken = 0; ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) {
            if (msg.hwnd == nullptr && msg.message == pump_end_message) {
                if (msg.wParam == mark) break;
                continue;  // left by a pump that ended at WM_QUIT
            }
            if (msg.message == WM_QUIT) {
                // The host's loop is the one to see it.
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                quit = true;
                break;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
            if (++taken >= (marked ? 10000 : 1024)) break;  // a nested loop may have taken the mark
        }
        // Timers turn into messages only when no posted one waits: the due ones now.
        for (int taken = 0; !quit && taken < 64 && ::PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE); ++taken)
            ::DispatchMessageW(&msg);
        --_pump_depth;
        const int delivered = _delivered_count - before;
        if (idle()) {
            destroy_orphans();
            release_if_unused();
        }
        return delivered;
    }

    // Window procedure, owner thread.
    void enter() noexcept { ++_dispatch_depth; }
    // May free the queue: nothing of it is touched afterwards.
    void leave() noexcept {
        if (--_dispatch_depth == 0 && idle()) release_if_unused();
    }

    void deliver_posted(HWND hwnd) noexcept {
        std::size_t count;
        {
            std::lock_guard<std::mutex> guard(_lock);
            window_state* state = find_locked(hwnd);
            if (state == nullptr) return;
            state->kicked = false;
            count = state->posted.size();  // only what is here now: handlers may post more
        }
        for (std::size_t i = 0; i < count; ++i) {
            window_state* state;
            posted_message m;
            {
                std::lock_guard<std::mutex> guard(_lock);
                state = find_locked(hwnd);
                if (state == nullptr || state->posted.empty()) return;
                m = state->posted.front();
                state->posted.pop_front();
                _delivering = state;
            }
            deliver(state, m.message, m.param);
        }
    }

    void deliver_timer(HWND hwnd, std::uintptr_t event_id) noexcept {
        window_state* state;
        {
            std::lock_guard<std::mutex> guard(_lock);
            state = find_locked(hwnd);
            // A timer killed after its expiry was taken from the system never fires.
            if (state == nullptr ||
                std::find(state->timers.begin(), state->timers.end(), event_id) == state->timers.end())
                return;
            _delivering = state;
        }
        deliver(state, ui_timer_message, event_id);
    }

    void deliver_io(HWND hwnd) noexcept {
        window_state* state;
        {
            std::lock_guard<std::mutex> guard(_lock);
            state = find_locked(hwnd);
            // A stale message (a window handle used again) finds nothing pending.
            if (state == nullptr || !state->io_pending.exchange(false, std::memory_order_acq_rel)) return;
            _delivering = state;
        }
        deliver(state, ui_io_message, 0);
        std::lock_guard<std::mutex> guard(_lock);
        state = find_locked(hwnd);  // the handler may have destroyed it
        if (state != nullptr && state->watcher != nullptr) state->watcher->delivered();
    }

    void close_orphan(HWND hwnd) noexcept {
        bool orphan;
        {
            std::lock_guard<std::mutex> guard(_lock);
            const auto at = std::find(_orphans.begin(), _orphans.end(), hwnd);
            orphan = at != _orphans.end();
            if (orphan) _orphans.erase(at);
        }
        if (orphan) ::DestroyWindow(hwnd);
    }

private:
    struct owner_guard {
        bool armed = false;
        // A thread that ends frees its queue; windows still on it are the host's
        // leak. No window calls here: this may run under the loader lock, and
        // the system destroys the thread's windows itself.
        ~owner_guard() {
            if (armed && t_queue != nullptr && t_queue->unused()) {
                delete t_queue;
                t_queue = nullptr;
            }
        }
    };
    static thread_local owner_guard t_owner_guard;

    thread_queue() noexcept : _owner(current_thread_id()) {}

    bool idle() const noexcept { return _pump_depth == 0 && _dispatch_depth == 0; }

    // No window left, and no other thread still inside remove_window.
    bool unused() noexcept {
        std::lock_guard<std::mutex> guard(_lock);
        return _windows.empty() && _removers == 0;
    }

    // Owner thread, outside any delivery. True when the queue is gone.
    bool release_if_unused() noexcept {
        if (!unused()) return false;
        destroy_orphans();
        t_queue = nullptr;
        delete this;
        forget_class();
        return true;
    }

    void destroy_orphans() noexcept {
        for (;;) {
            HWND hwnd;
            {
                std::lock_guard<std::mutex> guard(_lock);
                if (_orphans.empty()) return;
                hwnd = _orphans.back();
                _orphans.pop_back();
            }
            ::DestroyWindow(hwnd);
        }
    }

    window_state* find_locked(HWND hwnd) const noexcept {
        for (window_state* state : _windows)
            if (state->hwnd == hwnd) return state;
        return nullptr;
    }

    // With _delivering set to `state` under the lock.
    void deliver(window_state* state, std::uint32_t message, std::uintptr_t param) noexcept {
        ui_window_access::call(state->window, message, param);
        ++_delivered_count;
        {
            std::lock_guard<std::mutex> guard(_lock);
            _delivering = nullptr;
        }
        _delivered.notify_all();
    }

    const std::uint32_t _owner;
    std::mutex _lock;
    std::condition_variable _delivered;
    window_state* _delivering = nullptr;
    int _removers = 0;  // other threads inside remove_window
    std::vector<window_state*> _windows;
    std::vector<HWND> _orphans;  // destroyed on other threads; the owner ends their windows
    // Owner thread only:
    int _pump_depth = 0;
    int _dispatch_depth = 0;
    int _delivered_count = 0;
    WPARAM _pump_serial = 0;
};

thread_local thread_queue::owner_guard thread_queue::t_owner_guard;

LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    thread_queue* queue = t_queue;
    const bool ours = message == kick_message || message == io_message || message == WM_TIMER || message == close_message;
    if (queue == nullptr || !ours) return ::DefWindowProcW(hwnd, message, wparam, lparam);
    queue->enter();
    switch (message) {
        case kick_message: queue->deliver_posted(hwnd); break;
        case io_message: queue->deliver_io(hwnd); break;
        case WM_TIMER: queue->deliver_timer(hwnd, static_cast<std::uintptr_t>(wparam)); break;
        case close_message: queue->close_orphan(hwnd); break;
        default: break;
    }
    queue->leave();
    return 0;
}

}  // namespace

ui_window* ui_window::create(procedure proc, void* context) noexcept {
    thread_queue* queue = thread_queue::for_current_thread();
    if (queue == nullptr) return nullptr;
    auto* state = new (std::nothrow) window_state;
    ui_window* window = state != nullptr ? ui_window_access::make(proc, context, state) : nullptr;
    if (window != nullptr) {
        state->queue = queue;
        state->window = window;
        if (queue->add_window(state)) return window;
    }
    ui_window_access::free(window);
    delete state;
    thread_queue::current();  // frees a queue made for nothing
    return nullptr;
}

void ui_window::destroy(discard_sink sink, void* sink_context) noexcept {
    window_state* state = ui_window_access::state(this);
    state->queue->remove_window(state, sink, sink_context);
    ui_window_access::free(this);
}

bool ui_window::watch_descriptor(native_handle handle) noexcept {
    window_state* state = ui_window_access::state(this);
    return state->queue->watch(state, reinterpret_cast<HANDLE>(handle));
}

bool ui_window::post_message(std::uint32_t message, std::uintptr_t param) noexcept {
    window_state* state = ui_window_access::state(this);
    return state->queue->post(state, message, param);
}

std::uintptr_t ui_window::set_timer(std::uintptr_t event_id, std::uint32_t period_ms) noexcept {
    window_state* state = ui_window_access::state(this);
    return state->queue->set_timer(state, event_id, period_ms);
}

bool ui_window::kill_timer(std::uintptr_t event_id) noexcept {
    window_state* state = ui_window_access::state(this);
    return state->queue->kill_timer(state, event_id);
}

std::uint32_t ui_window::owner_thread() const noexcept { return ui_window_access::state(this)->queue->owner(); }

native_handle ui_queue_descriptor() noexcept {
    // The host waits on the thread's message queue itself; nothing to hand out.
    thread_queue::current();
    return invalid_handle;
}

int ui_queue_pump() noexcept {
    thread_queue* queue = thread_queue::current();
    return queue != nullptr ? queue->pump() : -1;
}

int ui_queue_wait_and_pump(std::uint32_t timeout_ms) noexcept {
    if (thread_queue::current() == nullptr) return -1;
    // Alertable: completion routines queued to this thread run while it waits.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE | MWMO_ALERTABLE);
    thread_queue* queue = thread_queue::current();
    return queue != nullptr ? queue->pump() : -1;
}

}  // namespace asynframe::platform

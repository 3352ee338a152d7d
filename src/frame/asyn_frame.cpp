#include "frame/asyn_frame.h"

#include <algorithm>
#include <new>

#include "asynframe/connect.h"
#include "engine/asyn_io_manager.h"
#include "component/asyn_io_operation_object.h"
#include "file/file_services.h"
#include "frame/frame_services.h"
#include "socket/connect_manager.h"
#include "platform/event.h"
#include "proxy/proxy_verifier.h"
#include "proxy/socks_objects.h"
#include "socket/socket_objects.h"
#include "speed/speed_limit.h"
#include "speed/speed_limit_socket.h"
#include "tls/asyn_ssl_socket.h"
#include "platform/memory.h"
#include "socket/socket_factory.h"
#include "support/setting.h"
#include "support/stat_data.h"

namespace asynframe {

// ---- CAsynFrameMessage -----------------------------------------------------------

CAsynFrameMessage::CAsynFrameMessage(singleton_instance* services, asyn_io_handler* frame,
                                     IAsynMessageEvents* message_receiver, DWORD first, DWORD second, DWORD third,
                                     platform::event* done_event, platform::event* delivered_event)
    : asyn_io_operation(services, frame, 0u),
      receiver(message_receiver),
      value1(first),
      value2(second),
      value3(third),
      done(done_event),
      delivered(delivered_event) {
    set_operation_type(operation_type::frame_message);
    if (receiver != nullptr) receiver->AddRef();
}

CAsynFrameMessage::~CAsynFrameMessage() {
    if (receiver != nullptr) receiver->Release();
    // A synchronous sender never waits for a message that no longer exists.
    if (done != nullptr) done->set();
}

// ---- CAsynFrameTimer -------------------------------------------------------------

CAsynFrameTimer::CAsynFrameTimer(CAsynFrame* frame, IAsynTimerEvents* sink, DWORD id, bool repeat)
    : with_singleton(frame->services()), _frame(frame), _sink(sink), _id(id), _repeat(repeat ? 1u : 0u) {
    _sink->AddRef();
}

CAsynFrameTimer::~CAsynFrameTimer() { _sink->Release(); }

void CAsynFrameTimer::on_timeout(std::uint32_t param) {
    IAsynTimerEvents* sink = _sink;
    sink->AddRef();
    if (_repeat == 0) {
        // A one-shot timer is gone before its callback, which may set it again.
        _frame->KillTimer(sink, _id);
        // `this` no longer exists here.
    }
    sink->OnTimer(param);
    sink->Release();
}

// ---- construction ----------------------------------------------------------------

CAsynFrame::CAsynFrame()
    : asyn_io_handler(&_services), CUnknownMultiThread("CAsynFrame") {}

CAsynFrame::~CAsynFrame() {
    // A host that forgot Uninitialize must not leave an engine calling into freed memory.
    if (begin_stop()) finish_stop();
    if (_host != nullptr) std::exchange(_host, nullptr)->Release();
    for (IAsynMessageEvents* receiver : _receivers) receiver->Release();
    _receivers.clear();
    for (IUnknown* object : _deferred_releases) object->Release();
    _deferred_releases.clear();
    delete std::exchange(_services.operation_objects_ptr, nullptr);
}

HRESULT CAsynFrame::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IAsynFrame || iid == IID_IAsynFrame2 || iid == IID_IAsynFrame3) {
        *object = static_cast<IAsynFrame3*>(this);
    } else if (iid == IID_IAsynFramePlugin) {
        *object = static_cast<IAsynFramePlugin*>(this);
    } else if (iid == IID_IInterfaceLeak) {
        *object = static_cast<IInterfaceLeak*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

bool CAsynFrame::in_dispatch_thread() const noexcept {
    // Another thread may be stopping the frame: the engine is read under the
    // state lock, which Uninitialize takes before the engine goes.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    return in_dispatch_thread_locked();
}

bool CAsynFrame::in_dispatch_thread_locked() const noexcept {
    const asyn_io_manager* engine = _visible_engine;
    return engine != nullptr && engine->in_dispatch_thread();
}

bool CAsynFrame::accepts_work_locked(bool dispatch) const noexcept {
    const frame_state state = _state.load(std::memory_order_acquire);
    return state == frame_state::running || (state == frame_state::stopping && dispatch);
}

HRESULT CAsynFrame::guard() const noexcept {
    if (_state.load(std::memory_order_acquire) == frame_state::stopped) return E_UNEXPECTED;
    // The dispatch thread keeps working while a stop waits for it.
    if (in_dispatch_thread()) return S_OK;
    return running() ? E_ACCESSDENIED : E_UNEXPECTED;
}

ULONG CAsynFrame::Release() {
    // The last reference dropped inside one of this frame's own callbacks: the
    // engine cannot stop under the callback's feet, so the frame stops and goes
    // once the callback has returned. The reference passes to that step.
    if (reference_count() == 1 && running()) {
        asyn_io_manager* engine = _services.asyn_io_manager_ptr;
        if (engine != nullptr && engine->in_callback() && begin_stop()) {
            defer_stop(true);
            return 0;
        }
    }
    return internal_release();
}

// ---- Initialize / Uninitialize ---------------------------------------------------

HRESULT CAsynFrame::Initialize(BOOL run_in_ui_thread, ISettingsProvider* settings, IStatisticsSink* statistics,
                               DWORD) {
    return initialize(nullptr, run_in_ui_thread != 0, settings, statistics);
}

HRESULT CAsynFrame::Uninitialize() { return uninitialize(); }

HRESULT CAsynFrame::initialize(IPluginHost* host, bool run_in_ui_thread, ISettingsProvider* settings,
                               IStatisticsSink* statistics) {
    {
        std::unique_lock<std::shared_mutex> state_guard(_state_lock);
        if (_state.load(std::memory_order_acquire) != frame_state::stopped) return E_UNEXPECTED;
        _state.store(frame_state::starting, std::memory_order_release);
    }
    // The socket layer needs no start-up on this platform.
    try {
        _services.setting_ptr = new setting(settings);
        _services.stat_data_ptr = new stat_data(statistics);
        if (_services.operation_objects_ptr == nullptr)
            _services.operation_objects_ptr = new CAsynIoOperationObjects(&_services);
        // Reads its own settings while it is built: the settings entry exists by now.
        _services.asyn_io_manager_ptr = new asyn_io_manager(&_services);
        frame_services::create(_services);
    } catch (...) {
        teardown();
        return E_FAIL;
    }
    _services.frame_plugin_ptr = this;

    if (host != nullptr) host->AddRef();
    if (_host != nullptr) _host->Release();
    _host = host;

    try {
        _connect_manager_object = frame_services::create_connect_manager_object(_services);
        _resolver_system_lookup = frame_services::acquire_resolver(_services);
        _resolver_acquired = true;
    } catch (...) {
        teardown();
        return E_FAIL;
    }
    asyn_io_manager* engine = _services.asyn_io_manager_ptr;
    engine->set_ui_mode(run_in_ui_thread);

    if (_host != nullptr) {
        if (_connect_manager_object != nullptr) _host->RegisterService(IID_IConnectManager, _connect_manager_object);
        _host->RegisterService(IID_IAsynFrame, static_cast<IAsynFrame3*>(this));
        _host_services = true;
    }
    {
        std::unique_lock<std::shared_mutex> state_guard(_state_lock);
        _visible_engine = engine;
        _state.store(frame_state::running, std::memory_order_release);
    }
    try {
        frame_services::start(_services);
        _services_started = true;
        engine->set_events(this);
        // In UI-thread mode this runs on_thread_begin before it returns.
        engine->start();
    } catch (...) {
        begin_stop();
        finish_stop();
        return E_FAIL;
    }
    return S_OK;
}

bool CAsynFrame::begin_stop() {
    std::unique_lock<std::shared_mutex> state_guard(_state_lock);
    if (_state.load(std::memory_order_acquire) != frame_state::running) return false;
    // From here no other thread queues work: every message a sender is waiting
    // for is already known and is finished or cancelled by the stop.
    _state.store(frame_state::stopping, std::memory_order_release);
    return true;
}

void CAsynFrame::defer_stop(bool release_after) {
    if (!release_after) AddRef();  // the stop keeps the frame until it is done
    asyn_io_manager* engine = _services.asyn_io_manager_ptr;
    if (engine->ui_mode()) {
        // The UI thread finishes the stop itself when the callback returns.
        engine->after_callback(
            [](void* context) {
                auto* frame = static_cast<CAsynFrame*>(context);
                frame->finish_stop();
                frame->internal_release();
            },
            this);
        return;
    }
    // The engine thread cannot wait for itself: another thread waits for it,
    // then tears the frame down.
    try {
        std::thread([this] {
            platform::name_current_thread("af-stop");
            finish_stop();
            internal_release();
        }).detach();
    } catch (...) {
        // No thread to wait with: the engine still ends after this callback,
        // and the frame stays until the process goes.
        engine->stop();
    }
}

HRESULT CAsynFrame::uninitialize() {
    if (!begin_stop()) return E_UNEXPECTED;
    asyn_io_manager* engine = _services.asyn_io_manager_ptr;
    if (engine->in_callback()) {
        defer_stop(false);
        return S_OK;
    }
    finish_stop();
    return S_OK;
}

void CAsynFrame::finish_stop() {
    asyn_io_manager* engine = _services.asyn_io_manager_ptr;
    try {
        engine->stop();
    } catch (...) {
    }
    abandon_messages();
    teardown();
}

void CAsynFrame::teardown() noexcept {
    if (_services_started) {
        frame_services::stop(_services);
        _services_started = false;
    }
    {
        // The engine is down: no step of a running check can run any more.
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        for (const std::shared_ptr<proxy_verifier>& verifier : _verifiers) {
            verifier->abort();
            _abandoned_verifiers.push_back(verifier);
        }
        _verifiers.clear();
    }
    if (_host != nullptr) {
        if (_host_services) {
            _host->RevokeService(IID_IConnectManager);
            _host->RevokeService(IID_IAsynFrame);
            _host_services = false;
        }
        std::exchange(_host, nullptr)->Release();
    }
    _services.frame_plugin_ptr = nullptr;
    if (_connect_manager_object != nullptr) {
        frame_services::detach_connect_manager_object(_services, _connect_manager_object);
        std::exchange(_connect_manager_object, nullptr)->Release();
    }
    if (_resolver_acquired) {
        frame_services::release_resolver(_services, _resolver_system_lookup);
        _resolver_acquired = false;
    }
    {
        // No thread reads the engine past this point.
        std::unique_lock<std::shared_mutex> state_guard(_state_lock);
        _visible_engine = nullptr;
    }
    destroy_services();
    std::vector<std::shared_ptr<proxy_verifier>> abandoned;
    {
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        abandoned.swap(_abandoned_verifiers);
    }
    abandoned.clear();
    std::unique_lock<std::shared_mutex> state_guard(_state_lock);
    _state.store(frame_state::stopped, std::memory_order_release);
}

void CAsynFrame::destroy_services() noexcept {
    frame_services::destroy(_services);
    delete std::exchange(_services.asyn_io_manager_ptr, nullptr);
    // Emptied, not freed: a host may still let go of an operation object on
    // its own thread while a stop finishes on another, and the object then
    // asks the registry to forget it. It goes with the frame.
    if (_services.operation_objects_ptr != nullptr) _services.operation_objects_ptr->clear();
    delete std::exchange(_services.stat_data_ptr, nullptr);
    delete std::exchange(_services.setting_ptr, nullptr);
}

// ---- engine events -----------------------------------------------------------------

void CAsynFrame::on_thread_begin() {
    _services.asyn_io_manager_ptr->set_timer(static_cast<timeout_handler*>(this), 1000, 1, true);
    _listeners.raise([](IAsynFrameEvents* sink) { sink->OnFrameStart(); });
}

void CAsynFrame::on_thread_end() {
    _listeners.raise([](IAsynFrameEvents* sink) { sink->OnFrameStop(); });
    {
        std::vector<IUnknown*> released;
        {
            mutex::scoped_lock guard(_deferred_lock);
            released.swap(_deferred_releases);
        }
        for (IUnknown* object : released) object->Release();
    }
    asyn_io_manager* engine = _services.asyn_io_manager_ptr;
    engine->kill_timer(static_cast<timeout_handler*>(this), 1);
    // Timers cannot outlive the engine that fires them.
    while (!_timers.empty()) destroy_timer(_timers.begin());
}

void CAsynFrame::on_timeout(std::uint32_t param) {
    if (param != 1) return;
    mutex::scoped_lock guard(_deferred_lock);
    for (auto it = _deferred_releases.begin(); it != _deferred_releases.end();) {
        IUnknown* object = *it;
        object->AddRef();
        if (object->Release() == 1) {
            // Only the list still holds it: the completion has been delivered.
            object->Release();
            it = _deferred_releases.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t CAsynFrame::deferred_release_count() {
    mutex::scoped_lock guard(_deferred_lock);
    return _deferred_releases.size();
}

// ---- listeners -----------------------------------------------------------------------

HRESULT CAsynFrame::Advise(IAsynFrameEvents* sink) {
    try {
        return _listeners.advise(sink);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CAsynFrame::Unadvise(IAsynFrameEvents* sink) { return _listeners.unadvise(sink); }

HRESULT CAsynFrame::IsFrameThread() { return in_dispatch_thread() ? S_OK : S_FALSE; }

// ---- timers ----------------------------------------------------------------------------

HRESULT CAsynFrame::SetTimer(IAsynTimerEvents* sink, DWORD id, DWORD milliseconds, BOOL repeat) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (sink == nullptr || (milliseconds == 0 && repeat != 0) || milliseconds >= frame_limits::MAX_TIMER_MILLISECOND)
        return E_INVALIDARG;
    const timer_key key{reinterpret_cast<std::uintptr_t>(sink), id};
    if (_timers.count(key) != 0) return E_UNEXPECTED;
    CAsynFrameTimer* timer = new (std::nothrow) CAsynFrameTimer(this, sink, id, repeat != 0);
    if (timer == nullptr) return E_OUTOFMEMORY;
    std::map<timer_key, CAsynFrameTimer*>::iterator position;
    try {
        position = _timers.emplace(key, timer).first;
    } catch (const std::bad_alloc&) {
        delete timer;
        return E_OUTOFMEMORY;
    }
    bool armed = false;
    try {
        armed = _services.asyn_io_manager_ptr->set_timer(timer, milliseconds, id, repeat != 0);
    } catch (...) {
    }
    if (!armed) {
        _timers.erase(position);
        delete timer;
        return E_FAIL;
    }
    return S_OK;
}

void CAsynFrame::destroy_timer(std::map<timer_key, CAsynFrameTimer*>::iterator position) {
    CAsynFrameTimer* timer = position->second;
    _timers.erase(position);
    _services.asyn_io_manager_ptr->kill_timers(timer);
    delete timer;
}

HRESULT CAsynFrame::KillTimer(IAsynTimerEvents* sink, DWORD id) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    const auto position = _timers.find(timer_key{reinterpret_cast<std::uintptr_t>(sink), id});
    if (position == _timers.end()) return E_UNEXPECTED;
    destroy_timer(position);
    return S_OK;
}

HRESULT CAsynFrame::KillTimers(IAsynTimerEvents* sink) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    const std::uintptr_t owner = reinterpret_cast<std::uintptr_t>(sink);
    auto position = _timers.lower_bound(timer_key{owner, 0});
    while (position != _timers.end() && position->first.first == owner) {
        auto next = std::next(position);
        destroy_timer(position);
        position = next;
    }
    return S_OK;
}

// ---- frame messages ------------------------------------------------------------------

std::size_t CAsynFrame::pending_message_count() const {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    return _pending_messages.size();
}

bool CAsynFrame::registered(IAsynMessageEvents* receiver) const {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    return _receivers.count(receiver) != 0;
}

HRESULT CAsynFrame::RegisterReceiver(IAsynMessageEvents* receiver) {
    if (receiver == nullptr) return E_INVALIDARG;
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    if (_receivers.count(receiver) != 0) return E_UNEXPECTED;
    try {
        _receivers.insert(receiver);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    receiver->AddRef();
    return S_OK;
}

HRESULT CAsynFrame::UnregisterReceiver(IAsynMessageEvents* receiver) {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    const auto found = _receivers.find(receiver);
    if (found == _receivers.end()) return E_UNEXPECTED;
    _receivers.erase(found);
    cancel_messages(receiver);
    receiver->Release();
    return S_OK;
}

HRESULT CAsynFrame::CancelFrameMessages(IAsynMessageEvents* receiver) {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    if (_receivers.count(receiver) == 0) return E_UNEXPECTED;
    cancel_messages(receiver);
    return S_OK;
}

void CAsynFrame::cancel_messages(IAsynMessageEvents* receiver) {
    // Taken out first: a receiver may post or cancel again from its callback.
    std::vector<CAsynFrameMessage*> cancelled;
    const auto range = _pending_messages.equal_range(receiver);
    for (auto it = range.first; it != range.second; ++it) cancelled.push_back(it->second);
    _pending_messages.erase(range.first, range.second);
    for (CAsynFrameMessage* message : cancelled) {
        receiver->OnMessageCanceled(message->value1, message->value2, message->value3);
        if (message->receiver != nullptr) std::exchange(message->receiver, nullptr)->Release();
        message->delivered = nullptr;
        if (message->done != nullptr) std::exchange(message->done, nullptr)->set();
    }
    // The messages stay queued in the engine; their delivery finds no receiver.
}

void CAsynFrame::abandon_messages() {
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        for (auto& [receiver, message] : _pending_messages) {
            if (message->receiver != nullptr) std::exchange(message->receiver, nullptr)->Release();
            message->delivered = nullptr;
            if (message->done != nullptr) std::exchange(message->done, nullptr)->set();
        }
        _pending_messages.clear();
    }
    // Idle messages are deleted; queued ones are orphaned and the engine's
    // teardown deletes them.
    delete_all_operations();
}

HRESULT CAsynFrame::queue_message(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3,
                                  platform::event* done, platform::event* delivered) {
    // Held while the message is queued: a stop that begins now waits for it,
    // and then finishes or cancels it with the rest.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    if (!accepts_work_locked(in_dispatch_thread_locked())) return E_UNEXPECTED;
    CAsynFrameMessage* message = nullptr;
    try {
        message = new CAsynFrameMessage(&_services, this, receiver, value1, value2, value3, done, delivered);
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        _pending_messages.emplace(receiver, message);
    } catch (...) {
        if (message != nullptr) {
            message->done = nullptr;
            delete_operation(message);
        }
        return E_OUTOFMEMORY;
    }
    if (message->post()) return S_OK;
    // The engine refused it: nobody will deliver or cancel it, so undo it here.
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        const auto range = _pending_messages.equal_range(receiver);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == message) {
                _pending_messages.erase(it);
                break;
            }
        }
        message->done = nullptr;
        message->delivered = nullptr;
        delete_operation(message);
    }
    return E_FAIL;
}

HRESULT CAsynFrame::PostFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3) {
    if (!registered(receiver)) return E_UNEXPECTED;
    return queue_message(receiver, value1, value2, value3, nullptr, nullptr);
}

HRESULT CAsynFrame::SendFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3) {
    if (!registered(receiver)) return E_UNEXPECTED;
    if (in_dispatch_thread()) {
        // Waiting would wait for this very thread: call at once.
        receiver->AddRef();
        receiver->OnMessage(value1, value2, value3);
        receiver->Release();
        return S_OK;
    }
    try {
        // Auto-reset: only this thread waits, once, and the wait ends in a read
        // of what the dispatch thread's set wrote, so the event may go at once.
        platform::event done(false, false);
        platform::event delivered(true, false);
        const HRESULT hr = queue_message(receiver, value1, value2, value3, &done, &delivered);
        // A frame that is stopping takes no new message: the send failed.
        if (FAILED(hr)) return hr == E_UNEXPECTED ? E_FAIL : hr;
        done.wait(platform::infinite);
        return delivered.try_acquire() ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

void CAsynFrame::on_io_complete(asyn_io_operation* operation) {
    if (operation->get_operation_type() != operation_type::frame_message) return;
    auto* message = static_cast<CAsynFrameMessage*>(operation);
    IAsynMessageEvents* receiver = nullptr;
    platform::event* done = nullptr;
    platform::event* delivered = nullptr;
    const DWORD value1 = message->value1;
    const DWORD value2 = message->value2;
    const DWORD value3 = message->value3;
    bool deliver = false;
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        receiver = std::exchange(message->receiver, nullptr);  // its reference moves here
        done = std::exchange(message->done, nullptr);
        delivered = std::exchange(message->delivered, nullptr);
        if (receiver != nullptr) {
            const auto range = _pending_messages.equal_range(receiver);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == message) {
                    _pending_messages.erase(it);
                    deliver = _receivers.count(receiver) != 0;
                    break;
                }
            }
        }
    }
    delete_operation(message);
    if (receiver == nullptr) return;  // cancelled
    if (deliver) {
        receiver->OnMessage(value1, value2, value3);
        if (delivered != nullptr) delivered->set();
    }
    // The sender resumes only after the frame let go of the receiver.
    receiver->Release();
    if (done != nullptr) done->set();
}

// ---- operations ----------------------------------------------------------------------

HRESULT CAsynFrame::CreateOperation(IAsynIoOperationEvents* owner, IAsynIoOperation** operation) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (owner == nullptr || operation == nullptr) return E_INVALIDARG;
    return CAsynIoOperation::create(&_services, owner, IID_IAsynIoOperation, reinterpret_cast<void**>(operation));
}

HRESULT CAsynFrame::CreateScatterOperation(IAsynIoOperationEvents* owner, IAsynFileScatterOperation** operation) {
    if (owner == nullptr || operation == nullptr) return E_INVALIDARG;
    // Any thread: the services must stay while the object is built.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    if (!accepts_work_locked(in_dispatch_thread_locked())) return E_UNEXPECTED;
    return CAsynIoOperation::create(&_services, owner, IID_IAsynFileScatterOperation,
                                    reinterpret_cast<void**>(operation));
}

HRESULT CAsynFrame::ReleaseOperations(IAsynIoOperationEvents* owner) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (owner == nullptr) return E_INVALIDARG;
    _services.operation_objects_ptr->release_all(owner);
    return S_OK;
}

HRESULT CAsynFrame::PostOperation(IUnknown* operation) {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr) return E_INVALIDARG;
    asyn_io_operation* request = object->engine_operation();
    if (request == nullptr) return S_OK;
    if (object->busy()) return E_INVALIDARG;
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    const bool dispatch = in_dispatch_thread_locked();
    if (!accepts_work_locked(dispatch)) return E_UNEXPECTED;
    if (!dispatch) {
        // Keeps an operation alive whose poster lets go before the completion arrives.
        mutex::scoped_lock guard_lock(_deferred_lock);
        IUnknown* face = object->face();
        if (std::find(_deferred_releases.begin(), _deferred_releases.end(), face) == _deferred_releases.end()) {
            try {
                _deferred_releases.push_back(face);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            face->AddRef();
        }
    }
    return object->post_completion();
}

// ---- factories of later subsystems -------------------------------------------------------

namespace {

// A counted text of the caller's; false for a length without bytes.
bool counted_text(DWORD length, const char* bytes, std::string& out) {
    if (length != 0 && bytes == nullptr) return false;
    out.assign(bytes != nullptr ? bytes : "", length);
    return true;
}


}  // namespace

HRESULT CAsynFrame::CreateTcpListener(IAsynTcpListener** listener) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (listener == nullptr) return E_INVALIDARG;
    return socket_factory::create_tcp_listener(&_services, IID_IAsynTcpListener, reinterpret_cast<void**>(listener));
}

HRESULT CAsynFrame::CreateSock5TcpListener(DWORD host_length, const char* host, WORD port, DWORD user_length,
                                           const char* user, DWORD password_length, const char* password,
                                           DWORD target_length, const char* target, WORD target_port,
                                           IAsynTcpListener** listener) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (listener == nullptr) return E_INVALIDARG;
    proxy_settings proxy;
    std::string bind_host;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password) || !counted_text(target_length, target, bind_host))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5TcpListener(&_services, std::move(proxy), std::move(bind_host),
                                                            target_port);
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynTcpListener, reinterpret_cast<void**>(listener));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateTcpSocket(IAsynTcpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_tcp_socket(&_services, IID_IAsynTcpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateUdpSocket(IAsynUdpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_udp_socket(&_services, IID_IAsynUdpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::file_request(IAsynIoOperation* operation, DWORD size_low, DWORD size_high, DWORD name_length,
                                 const char* name, bool extend) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if ((size_low == 0 && size_high == 0) || name_length == 0 || name == nullptr) return E_INVALIDARG;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || object->engine_operation() == nullptr) return E_INVALIDARG;
    object->AddRef();  // released when the completion is delivered
    file_services::request_file_size(&_services, object, size_low, size_high, std::string(name, name_length), extend);
    return S_OK;
}

HRESULT CAsynFrame::CreateAllocatedFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high,
                                        DWORD name_length, const char* name) {
    return file_request(operation, size_low, size_high, name_length, name, false);
}

HRESULT CAsynFrame::ExtendFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high, DWORD name_length,
                               const char* name) {
    return file_request(operation, size_low, size_high, name_length, name, true);
}

HRESULT CAsynFrame::CreateAsynFile(IAsynFile** file) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (file == nullptr) return E_INVALIDARG;
    return file_services::create_file_object(&_services, file);
}

HRESULT CAsynFrame::CreateIcmpSocket(IAsynIcmpSocket** socket) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (socket == nullptr) return E_INVALIDARG;
    return socket_factory::create_icmp_socket(&_services, IID_IAsynIcmpSocket, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateDns(IAsynDns** dns) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (dns == nullptr) return E_INVALIDARG;
    return frame_services::create_dns_object(_services, dns);
}

HRESULT CAsynFrame::CreateSSLSocket(IAsynTcpSocket* inner, IAsynSSLSocket** socket) {
    // Without an out or a socket to carry the records there is nothing to make.
    if (socket == nullptr || inner == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CAsynSSLSocket();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->initialize(static_cast<IAsynFrame3*>(this), &_services, inner);
    object->QueryInterface(IID_IAsynSSLSocket, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateProxyTcpSocket(IAsynTcpSocket* socket, DWORD kind, DWORD host_length, const char* host,
                                         WORD port, DWORD user_length, const char* user, DWORD password_length,
                                         const char* password, IAsynProxyTcpSocket** proxy_socket) {
    if (kind != PROXY_KIND_SOCKS5) return E_NOTIMPL;
    // Nothing would receive the object.
    if (proxy_socket == nullptr) return E_INVALIDARG;
    // The socket only vouches for the caller: it must be one of this module's.
    if (socket == nullptr || dynamic_cast<CAsynTcpSocket*>(socket) == nullptr) return E_UNEXPECTED;
    proxy_settings proxy;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5TcpSocket(&_services, std::move(proxy));
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynProxyTcpSocket, reinterpret_cast<void**>(proxy_socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateSpeedLimit(ISpeedLimit** limit) {
    // Nothing would receive the object.
    if (limit == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CSpeedLimit();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_ISpeedLimit, reinterpret_cast<void**>(limit));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateSpeedLimitSocket(IAsynTcpSocket* inner, ISpeedLimit* read_limit, ISpeedLimit* write_limit,
                                           IAsynTcpSocket** socket) {
    // Without an out or a socket to wrap there is nothing to make.
    if (socket == nullptr || inner == nullptr) return E_INVALIDARG;
    auto* object = new (std::nothrow) CAsynSpeedLimitSocket();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->initialize(static_cast<IAsynFrame3*>(this), inner, read_limit, write_limit);
    object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

HRESULT CAsynFrame::CreateUdpSocket2(IAsynUdpSocket2** socket) {
    if (socket == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    return socket_factory::create_udp_socket(&_services, IID_IAsynUdpSocket2, reinterpret_cast<void**>(socket));
}

HRESULT CAsynFrame::CreateTcpListener2(IAsynTcpListener2** listener) {
    if (listener == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    return socket_factory::create_tcp_listener(&_services, IID_IAsynTcpListener2,
                                               reinterpret_cast<void**>(listener));
}

HRESULT CAsynFrame::CreateSock5UdpSocket(DWORD host_length, const char* host, WORD port, DWORD user_length,
                                         const char* user, DWORD password_length, const char* password,
                                         IAsynUdpSocket2** socket) {
    if (socket == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    proxy_settings proxy;
    if (!counted_text(host_length, host, proxy.host) || !counted_text(user_length, user, proxy.user) ||
        !counted_text(password_length, password, proxy.password))
        return E_INVALIDARG;
    proxy.port = port;
    auto* object = new (std::nothrow) CAsynSock5UdpSocket(&_services, std::move(proxy));
    if (object == nullptr) return E_OUTOFMEMORY;
    object->QueryInterface(IID_IAsynUdpSocket2, reinterpret_cast<void**>(socket));
    object->Release();
    return S_OK;
}

// ---- connection limits (the connection scheduler's) --------------------------------------

template <class Call>
HRESULT CAsynFrame::with_scheduler(Call&& call) {
    // Any thread may ask; the scheduler is read under the state lock, which a
    // stop takes before the services go.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    connect_manager* scheduler = _services.connect_manager_ptr;
    if (_visible_engine == nullptr || scheduler == nullptr) return E_UNEXPECTED;
    call(*scheduler);
    return S_OK;
}

HRESULT CAsynFrame::SetMaxSynCount(DWORD count) {
    if (count == 0) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { scheduler.set_max_syn_count(count); });
}

HRESULT CAsynFrame::GetMaxSynCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.max_syn_count(); });
}

HRESULT CAsynFrame::GetSynCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.syn_count(); });
}

HRESULT CAsynFrame::SetMaxConnection(DWORD count) {
    if (count == 0) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { scheduler.set_max_connection(count); });
}

HRESULT CAsynFrame::GetMaxConnection(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.max_connection(); });
}

HRESULT CAsynFrame::GetConnectionCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    return with_scheduler([count](connect_manager& scheduler) { *count = scheduler.connection_count(); });
}

HRESULT CAsynFrame::VerifyProxy(PROXY_RECORD* record, ASYNFRAME_EVENT cancel_event, LONG* result) {
    // It waits for the engine, so the engine's own thread may not call it.
    if (in_dispatch_thread()) return E_ACCESSDENIED;
    if (record == nullptr || cancel_event == ASYNFRAME_NO_EVENT || result == nullptr) return E_INVALIDARG;
    if (record->host_length == 0) {
        *result = 1;
        return E_INVALIDARG;
    }
    if (record->host_length > sizeof record->host || record->user_length > sizeof record->user ||
        record->password_length > sizeof record->password)
        return E_INVALIDARG;
    if (!running()) return E_UNEXPECTED;
    const platform::native_handle cancel = platform::handle_of(cancel_event);
    platform::reset_caller_event(cancel);
    std::string host(record->host, record->host_length);
    std::string user(record->user, record->user_length);
    std::string password(record->password, record->password_length);
    std::shared_ptr<proxy_verifier> verifier;
    try {
        if (record->kind == PROXY_KIND_HTTP) {
            const std::string url = _services.setting_ptr != nullptr
                                        ? _services.setting_ptr->get(setting_keys::proxy_verifier_http_url)
                                        : std::string(setting_keys::proxy_verifier_http_url.default_value);
            verifier = std::make_shared<http_proxy_verifier>(&_services, std::move(host), record->port,
                                                             std::move(user), std::move(password), cancel, url);
        } else if (record->kind == PROXY_KIND_SOCKS5) {
            verifier = std::make_shared<socks_proxy_verifier>(&_services, std::move(host), record->port,
                                                              std::move(user), std::move(password), cancel);
        } else {
            record->kind = PROXY_KIND_FTP;
            verifier = std::make_shared<ftp_proxy_verifier>(&_services, std::move(host), record->port,
                                                            std::move(user), std::move(password), cancel);
        }
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
    {
        // Registered while the frame runs: a stop that comes meanwhile ends the
        // wait (255) instead of taking the engine away under the check.
        std::shared_lock<std::shared_mutex> state_guard(_state_lock);
        if (!running()) return E_UNEXPECTED;
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        _verifiers.insert(verifier);
    }
    *result = verifier->verify();
    {
        std::lock_guard<std::mutex> guard(_verifiers_lock);
        _verifiers.erase(verifier);
    }
    // A check a stop took over is freed by whoever lets go last, never
    // before the services are gone.
    return S_OK;
}

// ---- pages -------------------------------------------------------------------------------

HRESULT CAsynFrame::GetPageSize(DWORD* size) {
    if (size == nullptr) return E_INVALIDARG;
    *size = platform::page_size();
    return S_OK;
}

HRESULT CAsynFrame::AllocPage(void** page) {
    if (page == nullptr) return E_INVALIDARG;
    *page = platform::alloc_page();
    return *page != nullptr ? S_OK : E_FAIL;
}

HRESULT CAsynFrame::FreePage(void* page) {
    platform::free_page(page);
    return S_OK;
}

// Retired: the block allocator is gone; nothing is allocated or freed.
HRESULT CAsynFrame::AllocBlock(DWORD, void**) { return E_NOTIMPL; }

HRESULT CAsynFrame::FreeBlock(void*) { return E_NOTIMPL; }

// ---- IInterfaceLeak ------------------------------------------------------------------------

HRESULT CAsynFrame::GetLeakReport(DWORD, DWORD, IStringSetter* report) {
    if (report == nullptr) return E_INVALIDARG;
    return report->SetString(0, "");
}

HRESULT CAsynFrame::GetLeakSummary(IStringSetter* summary) {
    if (summary == nullptr) return E_INVALIDARG;
    return summary->SetString(0, "");
}

}  // namespace asynframe

// The frame's lifecycle: interfaces, Initialize and Uninitialize, the stops
// from callbacks and other threads, the engine's events, pages.
#include "frame/asyn_frame.h"
#include "platform/tls.h"

#include <algorithm>
#include <new>

#include "asynframe/connect.h"
#include "component/asyn_io_operation_object.h"
#include "engine/asyn_io_manager.h"
#include "frame/frame_services.h"
#include "platform/memory.h"
#include "proxy/proxy_verifier.h"
#include "socket/connect_manager.h"
#include "support/setting.h"
#include "support/stat_data.h"

namespace asynframe {

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
    if (_tls_contexts) _tls_contexts->clear();
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

// The frame: one complete engine with its services, the factory of every other
// component object, and its own small services (timers, cross-thread messages,
// pages, start/stop notices).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "asynframe/frame.h"
#include "asynframe/module.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "engine/frame_plugin.h"
#include "engine/singleton.h"
#include "engine/timer_manager.h"
#include "component/events_raiser.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "platform/event.h"
#include "platform/mutex.h"

namespace asynframe::platform::tls {
class context_cache;
}  // namespace asynframe::platform::tls

namespace asynframe {

class CAsynFrame;
class proxy_verifier;

// A frame message in flight: an engine operation of the frame's handler.
class CAsynFrameMessage final : public asyn_io_operation {
public:
    CAsynFrameMessage(singleton_instance* services, asyn_io_handler* frame, IAsynMessageEvents* receiver,
                      DWORD value1, DWORD value2, DWORD value3, platform::event* done, platform::event* delivered);
    ~CAsynFrameMessage() override;

    // Fields below are guarded by the frame's object lock.
    IAsynMessageEvents* receiver = nullptr;  // owned; null once cancelled
    DWORD value1;
    DWORD value2;
    DWORD value3;
    platform::event* done = nullptr;       // synchronous sends: delivered or cancelled
    platform::event* delivered = nullptr;  // synchronous sends: the receiver was called
};

// One frame timer; its expiries come from the engine on the dispatch thread.
class CAsynFrameTimer final : public timeout_handler, public with_singleton {
public:
    CAsynFrameTimer(CAsynFrame* frame, IAsynTimerEvents* sink, DWORD id, bool repeat);
    ~CAsynFrameTimer() override;
    CAsynFrameTimer(const CAsynFrameTimer&) = delete;
    CAsynFrameTimer& operator=(const CAsynFrameTimer&) = delete;

    void on_timeout(std::uint32_t param) override;

    IAsynTimerEvents* sink() const noexcept { return _sink; }
    DWORD id() const noexcept { return _id; }
    bool repeat() const noexcept { return _repeat != 0; }

private:
    CAsynFrame* _frame;
    IAsynTimerEvents* _sink;
    DWORD _id;
    std::uint32_t _repeat;
};

class CAsynFrame final : public frame_plugin,
                         public com_interfaces<CAsynFrame, IAsynFrame3, IAsynFramePlugin, IInterfaceLeak>,
                         public asyn_io_handler,
                         public timeout_handler,
                         public CUnknownMultiThread {
public:
    // Reference count 1, owned by the caller.
    CAsynFrame();
    ~CAsynFrame() override;

    // The Initialize routine shared by IAsynFramePlugin and the plug-in.
    HRESULT initialize(IPluginHost* host, bool run_in_ui_thread, ISettingsProvider* settings,
                       IStatisticsSink* statistics);
    HRESULT uninitialize();

    singleton_instance* services() noexcept { return &_services; }
    // Initialised and not stopping.
    // Runs `call` on the scheduler while the frame has one; E_UNEXPECTED otherwise.
    template <class Call>
    HRESULT with_scheduler(Call&& call);
    bool running() const noexcept { return _state.load(std::memory_order_acquire) == frame_state::running; }

    // IUnknown
    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynFrame3>,
                                       interface_entry<IID_IAsynFrame, IAsynFrame3>,
                                       interface_entry<IID_IAsynFrame2, IAsynFrame3>,
                                       interface_entry<IID_IAsynFrame3, IAsynFrame3>,
                                       interface_entry<IID_IAsynFramePlugin, IAsynFramePlugin>,
                                       interface_entry<IID_IInterfaceLeak, IInterfaceLeak>>;
    // The last reference dropped inside a callback of this frame stops the
    // frame once the callback has returned (see Uninitialize).
    ULONG ASYNFRAME_STDCALL Release() override;

    // IAsynFrame3
    HRESULT ASYNFRAME_STDCALL Advise(IAsynFrameEvents* sink) override;
    HRESULT ASYNFRAME_STDCALL Unadvise(IAsynFrameEvents* sink) override;
    HRESULT ASYNFRAME_STDCALL SetTimer(IAsynTimerEvents* sink, DWORD id, DWORD milliseconds, BOOL repeat) override;
    HRESULT ASYNFRAME_STDCALL KillTimer(IAsynTimerEvents* sink, DWORD id) override;
    HRESULT ASYNFRAME_STDCALL KillTimers(IAsynTimerEvents* sink) override;
    HRESULT ASYNFRAME_STDCALL RegisterReceiver(IAsynMessageEvents* receiver) override;
    HRESULT ASYNFRAME_STDCALL UnregisterReceiver(IAsynMessageEvents* receiver) override;
    HRESULT ASYNFRAME_STDCALL PostFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2,
                                               DWORD value3) override;
    HRESULT ASYNFRAME_STDCALL SendFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2,
                                               DWORD value3) override;
    HRESULT ASYNFRAME_STDCALL IsFrameThread() override;
    HRESULT ASYNFRAME_STDCALL CreateOperation(IAsynIoOperationEvents* owner, IAsynIoOperation** operation) override;
    HRESULT ASYNFRAME_STDCALL PostOperation(IUnknown* operation) override;
    HRESULT ASYNFRAME_STDCALL ReleaseOperations(IAsynIoOperationEvents* owner) override;
    HRESULT ASYNFRAME_STDCALL CreateScatterOperation(IAsynIoOperationEvents* owner,
                                                     IAsynFileScatterOperation** operation) override;
    // Slots 17 to 29 and 42 to 44 create the subsystems' objects (sockets,
    // listeners, files, the resolver object, TLS, SOCKS5, rate limits), each
    // after the argument and thread checks its header documents.
    HRESULT ASYNFRAME_STDCALL CreateTcpListener(IAsynTcpListener** listener) override;
    HRESULT ASYNFRAME_STDCALL CreateSock5TcpListener(DWORD host_length, const char* host, WORD port,
                                                     DWORD user_length, const char* user, DWORD password_length,
                                                     const char* password, DWORD target_length, const char* target,
                                                     WORD target_port, IAsynTcpListener** listener) override;
    HRESULT ASYNFRAME_STDCALL CreateTcpSocket(IAsynTcpSocket** socket) override;
    HRESULT ASYNFRAME_STDCALL CreateUdpSocket(IAsynUdpSocket** socket) override;
    // File-creation requests run on the file helper's thread.
    HRESULT ASYNFRAME_STDCALL CreateAllocatedFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high,
                                                  DWORD name_length, const char* name) override;
    HRESULT ASYNFRAME_STDCALL ExtendFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high,
                                         DWORD name_length, const char* name) override;
    HRESULT ASYNFRAME_STDCALL CreateAsynFile(IAsynFile** file) override;
    HRESULT ASYNFRAME_STDCALL CreateIcmpSocket(IAsynIcmpSocket** socket) override;
    HRESULT ASYNFRAME_STDCALL CreateDns(IAsynDns** dns) override;
    HRESULT ASYNFRAME_STDCALL CreateSSLSocket(IAsynTcpSocket* inner, IAsynSSLSocket** socket) override;
    HRESULT ASYNFRAME_STDCALL CreateProxyTcpSocket(IAsynTcpSocket* socket, DWORD kind, DWORD host_length,
                                                   const char* host, WORD port, DWORD user_length, const char* user,
                                                   DWORD password_length, const char* password,
                                                   IAsynProxyTcpSocket** proxy_socket) override;
    HRESULT ASYNFRAME_STDCALL CreateSpeedLimit(ISpeedLimit** limit) override;
    HRESULT ASYNFRAME_STDCALL CreateSpeedLimitSocket(IAsynTcpSocket* inner, ISpeedLimit* read_limit,
                                                     ISpeedLimit* write_limit, IAsynTcpSocket** socket) override;
    // Connection limits belong to the connection scheduler: E_UNEXPECTED
    // before Initialize.
    HRESULT ASYNFRAME_STDCALL SetMaxSynCount(DWORD count) override;
    HRESULT ASYNFRAME_STDCALL GetMaxSynCount(DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL GetSynCount(DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL SetMaxConnection(DWORD count) override;
    HRESULT ASYNFRAME_STDCALL GetMaxConnection(DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL GetConnectionCount(DWORD* count) override;
    // Runs one of the proxy verifiers on the calling thread until it ends or
    // the cancel event is set.
    HRESULT ASYNFRAME_STDCALL VerifyProxy(PROXY_RECORD* record, ASYNFRAME_EVENT cancel_event, LONG* result) override;
    HRESULT ASYNFRAME_STDCALL GetPageSize(DWORD* size) override;
    HRESULT ASYNFRAME_STDCALL AllocPage(void** page) override;
    HRESULT ASYNFRAME_STDCALL FreePage(void* page) override;
    HRESULT ASYNFRAME_STDCALL AllocBlock(DWORD size, void** block) override;
    HRESULT ASYNFRAME_STDCALL FreeBlock(void* block) override;
    HRESULT ASYNFRAME_STDCALL CreateUdpSocket2(IAsynUdpSocket2** socket) override;
    HRESULT ASYNFRAME_STDCALL CreateTcpListener2(IAsynTcpListener2** listener) override;
    HRESULT ASYNFRAME_STDCALL CreateSock5UdpSocket(DWORD host_length, const char* host, WORD port,
                                                   DWORD user_length, const char* user, DWORD password_length,
                                                   const char* password, IAsynUdpSocket2** socket) override;
    HRESULT ASYNFRAME_STDCALL CancelFrameMessages(IAsynMessageEvents* receiver) override;

    // IAsynFramePlugin
    HRESULT ASYNFRAME_STDCALL Initialize(BOOL run_in_ui_thread, ISettingsProvider* settings,
                                         IStatisticsSink* statistics, DWORD reserved) override;
    HRESULT ASYNFRAME_STDCALL Uninitialize() override;

    // IInterfaceLeak
    HRESULT ASYNFRAME_STDCALL GetLeakReport(DWORD reserved1, DWORD reserved2, IStringSetter* report) override;
    HRESULT ASYNFRAME_STDCALL GetLeakSummary(IStringSetter* summary) override;

    // frame_plugin
    void on_thread_begin() override;
    void on_loop_begin() override {}
    void on_loop_end() override {}
    void on_thread_end() override;

    // asyn_io_handler: completions of the frame's own messages.
    void on_io_complete(asyn_io_operation* operation) override;
    void cancel() override {}

    // timeout_handler: the housekeeping sweep (parameter 1).
    void on_timeout(std::uint32_t param) override;

    // Diagnostics for tests.
    std::size_t deferred_release_count();
    std::size_t timer_count() const noexcept { return _timers.size(); }
    std::size_t pending_message_count() const;

private:
    using timer_key = std::pair<std::uintptr_t, DWORD>;
    enum class frame_state { stopped, starting, running, stopping };

    bool in_dispatch_thread() const noexcept;
    // Under _state_lock (shared or exclusive).
    bool in_dispatch_thread_locked() const noexcept;
    // Foreign threads while running; the dispatch thread also while a stop waits for it.
    bool accepts_work_locked(bool dispatch) const noexcept;
    // running -> stopping; false when the frame was not running.
    bool begin_stop();
    // The stop asked for inside a callback, finished after it returns.
    void defer_stop(bool release_after);
    void finish_stop();
    // Undoes exactly the steps of Initialize that were taken.
    void teardown() noexcept;
    // Not running: E_UNEXPECTED; off the dispatch thread: E_ACCESSDENIED; else S_OK.
    HRESULT guard() const noexcept;
    bool registered(IAsynMessageEvents* receiver) const;
    HRESULT queue_message(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3,
                          platform::event* done, platform::event* delivered);
    // Under the object lock.
    void cancel_messages(IAsynMessageEvents* receiver);
    // Wakes every synchronous sender and lets the engine's teardown take the messages.
    void abandon_messages();
    void destroy_timer(std::map<timer_key, CAsynFrameTimer*>::iterator position);
    void destroy_services() noexcept;
    HRESULT file_request(IAsynIoOperation* operation, DWORD size_low, DWORD size_high, DWORD name_length,
                         const char* name, bool extend);

    IUnknown* _connect_manager_object = nullptr;
    singleton_instance _services;
    singleton_instance* _services_ptr = &_services;
    // The TLS contexts of the frame's sockets, one per setting; emptied when
    // the services go (a socket still open keeps its own until it closes).
    std::shared_ptr<platform::tls::context_cache> _tls_contexts;
    IPluginHost* _host = nullptr;
    std::map<timer_key, CAsynFrameTimer*> _timers;
    std::multimap<IAsynMessageEvents*, CAsynFrameMessage*> _pending_messages;
    std::set<IAsynMessageEvents*> _receivers;
    std::vector<IUnknown*> _deferred_releases;
    mutex _deferred_lock;
    // The object lock; recursive like the critical section it stands for, as
    // OnMessageCanceled runs under it and may post or cancel again.
    mutable std::recursive_mutex _lock;
    CEventsRaiser<IAsynFrameEvents> _listeners;

    std::atomic<frame_state> _state{frame_state::stopped};
    // Foreign threads hold it shared while they use the engine; Initialize and
    // Uninitialize take it alone, briefly, to change the state.
    mutable std::shared_mutex _state_lock;
    asyn_io_manager* _visible_engine = nullptr;
    bool _resolver_acquired = false;
    bool _resolver_system_lookup = true;  // what this frame's settings allowed when it acquired the resolver
    // Proxy checks running on host threads. A stop takes over those still
    // running once the engine is down, and frees them after the services.
    std::mutex _verifiers_lock;
    std::set<std::shared_ptr<proxy_verifier>> _verifiers;
    std::vector<std::shared_ptr<proxy_verifier>> _abandoned_verifiers;
    bool _host_services = false;
    bool _services_started = false;
};

}  // namespace asynframe

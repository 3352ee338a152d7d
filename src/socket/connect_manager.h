// The connection scheduler: every outgoing TCP connect of a frame is queued
// here by priority, paced by the half-open and connection limits, resolved,
// tried address after address (preferring addresses that connected fast
// before) and completed with its final Winsock code. A name with IPv6
// addresses races its addresses, a socket per attempt, each started a
// quarter of a second after the one before unless that one failed sooner.
//
// Each connect is a request of the engine's own I/O backend and each
// resolution a request the resolver completes by posting to the engine: both
// finish on the dispatch thread with no other thread in between. Only a
// backend that cannot connect by itself (the alertable loop on Windows) has
// its connects watched by the wait-object service.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "asynframe/dns.h"
#include "engine/singleton.h"
#include "engine/wait_objects_thread.h"
#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace asynframe {

class asyn_io_operation;

// WSAENOBUFS: the connect could not be watched.
inline constexpr std::uint32_t no_buffer_error = 10055;

// Observers of each connect's steps. They are called on the thread of the
// scheduler's entry point (the dispatch thread, except for the limit setters),
// after the scheduler has let go of its lock, so an observer may close sockets
// or change limits.
class connect_manager_events {
public:
    virtual ~connect_manager_events() = default;
    virtual void on_connect_request(asyn_io_operation* operation, const std::string& host, std::uint16_t port,
                                    std::int32_t priority) = 0;
    virtual void on_resolved(asyn_io_operation* operation, std::int32_t result,
                             const std::vector<std::string>& addresses) = 0;
    virtual void on_connect_attempt(asyn_io_operation* operation, std::uint32_t result,
                                    const std::string& address) = 0;
    virtual void on_connect_complete(asyn_io_operation* operation, std::uint32_t result) = 0;
    // An attempt on `address` starts (before its on_connect_attempt).
    virtual void on_connect_attempt_start(asyn_io_operation* /*operation*/, const std::string& /*address*/) {}
    // Whether on_connect_attempt_start has a listener: a start is gathered only then.
    virtual bool wants_attempt_starts() const noexcept { return false; }
};

// The device whose connect is scheduled, when the scheduler may give it
// another socket: each raced attempt has a socket of its own, and the one
// that connects replaces the device's. Called under the scheduler's lock.
class connect_target {
public:
    // A socket of `family` made as the device makes its own; 0 or a Winsock code.
    virtual std::uint32_t make_attempt_socket(platform::endpoint::family_t family,
                                              platform::native_handle& socket) noexcept = 0;
    // `connected` becomes the device's socket; the one it had is closed.
    virtual void adopt_connected_socket(platform::native_handle connected) noexcept = 0;
    // The family of the socket the device made for this connect.
    virtual platform::endpoint::family_t own_socket_family() const noexcept = 0;

protected:
    ~connect_target() = default;
};

class stagger_clock;
struct dns_request;

class connect_manager : public i_wait_objects_thread_notify, public with_singleton {
public:
    enum opt_type : std::uint8_t { operation_type_none = 0, operation_type_resolve = 1, operation_type_connect = 2 };

    // Reads its section of the settings.
    explicit connect_manager(singleton_instance* instance);
    // Requests still queued or in flight complete with 995; the averages go
    // to the statistics.
    ~connect_manager() override;
    connect_manager(const connect_manager&) = delete;
    connect_manager& operator=(const connect_manager&) = delete;

    // `operation` is pending with type 1 and the socket as its operate handle.
    // With a `target` a name with IPv6 addresses races them on sockets of
    // their own; without one every attempt uses the operation's socket.
    void connect(asyn_io_operation* operation, const std::string& host, std::uint16_t port, std::int32_t priority,
                 connect_target* target = nullptr);
    // Before the socket is closed: a connect still queued or running for it
    // completes with 995.
    void on_socket_closed(platform::native_handle socket_handle);
    void on_wait_object_signaled(const wait_handle& handle) override;

    void set_max_syn_count(std::uint32_t count);
    void set_max_connection(std::uint32_t count);
    std::uint32_t max_syn_count();
    std::uint32_t max_connection();
    // Requests waiting plus requests being resolved or connected.
    std::uint32_t syn_count();
    // Places taken by requests being resolved or connected, one per attempt
    // while a request races several: never above max_syn_count().
    std::uint32_t connecting_count();
    // Sockets given a place and not yet closed.
    std::uint32_t connection_count();

    // Adding one already present does nothing.
    void add_events_sink(connect_manager_events* sink);
    void remove_events_sink(connect_manager_events* sink);

    // Starts the scheduler (and, where the backend cannot connect by itself,
    // the wait service); until then (and after stop) nothing leaves the queue
    // and nothing in flight is finished.
    void start();
    void stop();

    // The score of an earlier connect to `host`:`port` (0 failed, 20 slow,
    // 50 unknown, 80 fast, 90 instant).
    std::int32_t address_score(const std::string& host, std::uint16_t port);

    // How long a raced attempt runs alone before the next one starts.
    static constexpr std::uint32_t attempt_delay = 250;

private:
    // One raced attempt: its own socket, its connect a request of the backend
    // (or, without backend connects, watched for writability).
    struct attempt {
        platform::native_handle socket = platform::invalid_handle;
        std::string address;
        std::uint32_t started = 0;
        asyn_io_operation* op = nullptr;
        wait_handle watched;
        bool watching = false;
    };
    // A resolution in flight: the resolver fills the lists and posts `op`.
    struct resolution;
    class completions;
    friend class completions;

    struct request {
        asyn_io_operation* _operation_ptr = nullptr;
        platform::native_handle socket = platform::invalid_handle;
        std::string host;
        std::uint16_t port = 0;
        std::vector<std::string> _ip_addresses;
        std::string _ip_address;
        std::int32_t _priority = 0;
        opt_type _opt_type = operation_type_none;
        std::uint32_t _connect_tick = 0;
        std::uint32_t _dns_tick = 0;
        std::uint32_t _request_tick = 0;
        // The resolution in flight, while resolving.
        std::unique_ptr<resolution> _adns_id;
        asyn_io_operation* dns_op = nullptr;
        // The connect in flight on the caller's socket, while connecting.
        asyn_io_operation* op = nullptr;
        // The caller's socket's family, asked once.
        platform::endpoint::family_t socket_family = platform::endpoint::family_t::none;
        // Without backend connects: the socket's writability, watched while connecting.
        wait_handle watched;
        bool watching = false;
        std::uint64_t id = 0;
        // Racing: the addresses still to try in order, the attempts running,
        // and what paces the next one.
        connect_target* target = nullptr;
        bool racing = false;
        bool failed_since_start = false;
        bool wants_place = false;
        // An address failed and the next is tried: its outcomes come after the others'.
        bool demoted = false;
        std::deque<std::string> plan;
        std::vector<attempt> attempts;
        std::uint32_t last_start = 0;
        std::uint32_t last_error = 0;
    };
    using request_ptr = std::unique_ptr<request>;

    // Observer calls gathered under the lock and made once it is released.
    struct notice {
        enum kind_t : std::uint8_t { request_made, resolved, attempt, complete, attempt_start } kind;
        asyn_io_operation* operation;
        std::int32_t value;
        std::uint16_t port = 0;
        std::string text;
        std::vector<std::string> addresses;
    };
    using notices = std::vector<notice>;

    void schedule(notices& out);
    void start_resolving(request& r, notices& out);
    void resolution_done(request& r, notices& out);
    void start_connecting(request& r, bool pick_at_random, notices& out);
    void connect_event(request& r, notices& out);
    void connect_done(request& r, std::uint32_t result, notices& out);

    // Engine requests: connects, resolutions and the stagger's wake-up, each
    // an operation of the scheduler's handler, tagged with its request's id.
    void on_operation(asyn_io_operation* op, bool abandoned);
    // Completions that arrived together are handled together, highest
    // request priority first (a request retrying after a failed address
    // last), as the wait service reported its handles: they wait in _ready
    // until _flush_op, posted behind them, runs.
    void flush_ready();
    void finish_operation(asyn_io_operation* op, bool abandoned);
    asyn_io_operation* acquire_operation();
    // An operation back from the engine, or one never handed to it.
    void recycle(asyn_io_operation* op);
    // Its request lets go of an operation still in flight: the completion
    // recycles it when it comes.
    static void orphan(asyn_io_operation* op) noexcept;
    // 0, or the code the backend refused the connect with (`slot` untouched).
    std::uint32_t begin_connect(platform::native_handle socket, const platform::endpoint& target, std::uint64_t id,
                                asyn_io_operation*& slot);
    void post_stagger() noexcept;
    static void ring_stagger(void* context) noexcept;
    // Without backend connects: the wait service, made on first use.
    wait_objects_thread_manager* wait_service();
    void finish(std::uint64_t id, std::uint32_t result, notices& out);
    // Completes the request: observers, its place, the caller's operation.
    void conclude(request& r, std::uint32_t result, notices& out);

    // Racing.
    enum class attempt_outcome : std::uint8_t { running, failed, won };
    void start_race(request& r, std::vector<std::string> v4, std::vector<std::string> v6, notices& out);
    // Starts every attempt that is due and has a place; ends a request with nothing left to try.
    void advance(request& r, notices& out);
    attempt_outcome start_attempt(request& r, notices& out);
    void race_event(request& r, const wait_handle& handle, notices& out);
    // The outcome of the attempt at `index`.
    void race_done(request& r, std::size_t index, std::uint32_t result, notices& out);
    void win(request& r, std::size_t index, notices& out);
    // Closes every attempt still running (reported with `report` unless 0).
    void drop_attempts(request& r, std::uint32_t report, notices& out);
    // Cancels what the backend holds of an attempt's socket, then closes it.
    void close_attempt_socket(platform::native_handle& socket) noexcept;
    void remove_attempt(request& r, std::size_t index);
    void set_wants_place(request& r, bool wants);
    void on_stagger(notices& out);
    void give_places_to_races(notices& out);
    std::uint32_t half_open() const {
        return static_cast<std::uint32_t>(_connecting_queue.size()) + _extra_attempts;
    }
    // Takes the request out of every structure; with `cancel` its operation completes with 995.
    void forget_socket(platform::native_handle socket_handle, bool cancel);
    // Cancels the resolution in flight, if any.
    void drop_resolution(request& r);
    bool watch(request& r, const wait_handle& handle);
    // The engine's backend makes connects itself (else they are watched).
    bool backend_connects() const;
    void unwatch(request& r);
    std::string score_key(const std::string& host, std::uint16_t port) const;
    std::uint32_t read_setting_max_syn() const;

    void add_notice(notices& out, notice::kind_t kind, asyn_io_operation* operation, std::int32_t value,
                    std::uint16_t port = 0, std::string text = {}, std::vector<std::string> addresses = {});
    void raise(notices& out);

    mutex _sinks_lock;
    std::vector<connect_manager_events*> _sinks;

    mutex _lock;
    std::map<std::string, std::uint32_t> _address_times;
    std::uint64_t _request_time_sum = 0;
    std::uint64_t _connect_time_sum = 0;
    std::uint64_t _connect_count = 0;
    std::uint64_t _dns_time_sum = 0;
    std::uint64_t _dns_count = 0;

    // Highest priority first; equal priorities keep their arrival order.
    std::multimap<std::int32_t, request_ptr, std::greater<>> _waiting_requests;
    // Socket to the request in flight for it (0: the request still waits).
    std::map<platform::native_handle, std::uint64_t> _socket2event_map;
    std::set<platform::native_handle> _connected_sockets;
    std::map<std::uint64_t, request_ptr> _connecting_queue;
    std::map<wait_handle, std::uint64_t> _watched;
    std::uint64_t _next_id = 1;
    bool _scheduling = false;

    std::uint32_t _max_syn_count = 1;
    std::uint32_t _max_connection = 1000;
    std::uint32_t _syn_num_for_others = 2;
    std::uint32_t _connect_time_threshold = 200;

    // Attempts beyond the first of racing requests: each takes a place.
    std::uint32_t _extra_attempts = 0;
    // Racing requests whose next attempt is due but waits for a place.
    std::uint32_t _wanting_place = 0;
    std::uint32_t _racing = 0;
    // Posts _stagger_op when a raced attempt's delay is over.
    std::unique_ptr<stagger_clock> _clock;
    asyn_io_operation* _stagger_op = nullptr;
    std::atomic<bool> _stagger_posted{false};

    bool _running = false;
    std::unique_ptr<wait_objects_thread_manager> _wait_service;
    // Last: its operations still in the engine are orphaned when it goes.
    std::unique_ptr<completions> _completions;
    std::vector<asyn_io_operation*> _idle_ops;
    std::vector<asyn_io_operation*> _ready;
    asyn_io_operation* _flush_op = nullptr;
    bool _flush_posted = false;
};

}  // namespace asynframe

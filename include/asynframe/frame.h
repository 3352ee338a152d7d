// The frame: one complete I/O engine with its single dispatch thread, and the
// factory of every other object of the library.
//
// A host creates a frame (module.h), initialises it (IAsynFramePlugin), and
// from then on creates operations, sockets, files, resolvers and limiters
// through it. Every callback of a frame (completions, timers, messages, start
// and stop) runs on its dispatch thread, one at a time: the engine's own
// thread, or in UI-thread mode the thread that initialised the frame.
//
// Slots marked "dispatch thread" refuse callers on any other thread with
// E_ACCESSDENIED. Before Initialize and after Uninitialize such slots and the
// connection-limit accessors answer E_UNEXPECTED. Out pointers receive one
// reference, owned by the caller; every object the frame handed out must be
// released before Uninitialize.
#pragma once

#include "asynframe/com.h"
#include "asynframe/dns.h"
#include "asynframe/events.h"
#include "asynframe/file.h"
#include "asynframe/host_services.h"
#include "asynframe/operation.h"
#include "asynframe/proxy.h"
#include "asynframe/socket.h"
#include "asynframe/speed.h"
#include "asynframe/strings.h"
#include "asynframe/tls.h"

namespace asynframe {

// {ECB1468E-DF17-4BAA-9105-84FC292F4B61}
inline constexpr IID IID_IAsynFrame = {
    0xECB1468E, 0xDF17, 0x4BAA, {0x91, 0x05, 0x84, 0xFC, 0x29, 0x2F, 0x4B, 0x61}};
// {6D99D3C0-92D1-4ACE-9E01-D771F1C1F733}
inline constexpr IID IID_IAsynFrame2 = {
    0x6D99D3C0, 0x92D1, 0x4ACE, {0x9E, 0x01, 0xD7, 0x71, 0xF1, 0xC1, 0xF7, 0x33}};
// {4A90A048-2A7C-4AB4-A372-5B04B8EB65E0}
inline constexpr IID IID_IAsynFrame3 = {
    0x4A90A048, 0x2A7C, 0x4AB4, {0xA3, 0x72, 0x5B, 0x04, 0xB8, 0xEB, 0x65, 0xE0}};
// {F6DB06C7-9B10-417D-A1EA-F226AFA2254F}
inline constexpr IID IID_IAsynFramePlugin = {
    0xF6DB06C7, 0x9B10, 0x417D, {0xA1, 0xEA, 0xF2, 0x26, 0xAF, 0xA2, 0x25, 0x4F}};
// {336AD0BF-5E59-46F1-B4AD-769E99402EA0}
inline constexpr IID IID_IInterfaceLeak = {
    0x336AD0BF, 0x5E59, 0x46F1, {0xB4, 0xAD, 0x76, 0x9E, 0x99, 0x40, 0x2E, 0xA0}};

// Longest frame timer period (24 hours, exclusive). In an inline namespace so
// that the library's engine, which has the same limit, can see both names.
inline namespace frame_limits {
inline constexpr DWORD MAX_TIMER_MILLISECOND = 86400000u;
}

// The frame's table of 46 slots. The frame answers IID_IAsynFrame,
// IID_IAsynFrame2 and IID_IAsynFrame3 with this same table, so the whole table
// lives here and the two later names add nothing: whichever of the three a
// client holds, it can call every slot.
struct IAsynFrame : IUnknown {
    // Adds a start/stop listener (a reference is taken). Any thread.
    // E_UNEXPECTED when already added.
    virtual HRESULT ASYNFRAME_STDCALL Advise(IAsynFrameEvents* sink) = 0;  // slot 3
    // Removes and releases a listener. Any thread. E_UNEXPECTED when absent.
    virtual HRESULT ASYNFRAME_STDCALL Unadvise(IAsynFrameEvents* sink) = 0;  // slot 4
    // Dispatch thread. Arms timer (sink, id) to call sink->OnTimer(id) after
    // `milliseconds`, once or every period. E_INVALIDARG for a period of
    // MAX_TIMER_MILLISECOND or more, or 0 with `repeat` (0 without repeat fires
    // at the next turn of the dispatch loop); E_UNEXPECTED when (sink, id) is
    // already armed.
    virtual HRESULT ASYNFRAME_STDCALL SetTimer(IAsynTimerEvents* sink, DWORD id, DWORD milliseconds,
                                               BOOL repeat) = 0;  // slot 5
    // Dispatch thread. Cancels timer (sink, id). E_UNEXPECTED when absent.
    virtual HRESULT ASYNFRAME_STDCALL KillTimer(IAsynTimerEvents* sink, DWORD id) = 0;  // slot 6
    // Dispatch thread. Cancels every timer of `sink`. S_OK also when none.
    virtual HRESULT ASYNFRAME_STDCALL KillTimers(IAsynTimerEvents* sink) = 0;  // slot 7
    // Any thread. Lets `receiver` get frame messages (a reference is taken).
    // E_UNEXPECTED when already registered.
    virtual HRESULT ASYNFRAME_STDCALL RegisterReceiver(IAsynMessageEvents* receiver) = 0;  // slot 8
    // Any thread. Cancels the receiver's pending messages (OnMessageCanceled
    // for each, in posting order) and releases it. E_UNEXPECTED when absent.
    virtual HRESULT ASYNFRAME_STDCALL UnregisterReceiver(IAsynMessageEvents* receiver) = 0;  // slot 9
    // Any thread. Queues a message; OnMessage follows on the dispatch thread,
    // in posting order. E_UNEXPECTED for an unregistered receiver.
    virtual HRESULT ASYNFRAME_STDCALL PostFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2,
                                                       DWORD value3) = 0;  // slot 10
    // Any thread. Delivers a message and waits until OnMessage has returned
    // (on the dispatch thread: calls it at once). E_FAIL when the message was
    // cancelled instead; E_UNEXPECTED for an unregistered receiver.
    virtual HRESULT ASYNFRAME_STDCALL SendFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2,
                                                       DWORD value3) = 0;  // slot 11
    // Any thread. S_OK on the dispatch thread, S_FALSE elsewhere.
    virtual HRESULT ASYNFRAME_STDCALL IsFrameThread() = 0;  // slot 12
    // Dispatch thread. A new operation whose completions go to `owner`.
    // E_INVALIDARG for a null owner or out.
    virtual HRESULT ASYNFRAME_STDCALL CreateOperation(IAsynIoOperationEvents* owner,
                                                      IAsynIoOperation** operation) = 0;  // slot 13
    // Any thread. Completes `operation` (any face of an operation object)
    // through the dispatch thread without I/O, with the result preset by
    // IAsynIoOperation::SetResult. E_INVALIDARG for a foreign or busy operation.
    virtual HRESULT ASYNFRAME_STDCALL PostOperation(IUnknown* operation) = 0;  // slot 14
    // Dispatch thread. Cuts loose every operation created for `owner`: their
    // completions, also those in flight, are consumed silently. E_INVALIDARG
    // for a null owner.
    virtual HRESULT ASYNFRAME_STDCALL ReleaseOperations(IAsynIoOperationEvents* owner) = 0;  // slot 15
    // Any thread. As CreateOperation, for scatter/gather file requests.
    virtual HRESULT ASYNFRAME_STDCALL CreateScatterOperation(IAsynIoOperationEvents* owner,
                                                             IAsynFileScatterOperation** operation) = 0;  // slot 16
    // Dispatch thread. A TCP listener. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateTcpListener(IAsynTcpListener** listener) = 0;  // slot 17
    // Dispatch thread. A listener served by a SOCKS5 proxy's BIND command:
    // proxy host, port and credentials, then the BIND target host and port.
    // One accepted connection per listen. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateSock5TcpListener(DWORD host_length, const char* host, WORD port,
                                                             DWORD user_length, const char* user,
                                                             DWORD password_length, const char* password,
                                                             DWORD target_length, const char* target,
                                                             WORD target_port,
                                                             IAsynTcpListener** listener) = 0;  // slot 18
    // Dispatch thread. A TCP socket. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateTcpSocket(IAsynTcpSocket** socket) = 0;  // slot 19
    // Dispatch thread. A UDP socket. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateUdpSocket(IAsynUdpSocket** socket) = 0;  // slot 20
    // Dispatch thread. Creates (or replaces) file `name` (exactly
    // `name_length` bytes) with the given 64-bit size, its content zero-filled
    // in the background; `operation` completes when the file exists.
    // E_INVALIDARG for size 0, an empty or null name, or a foreign or busy
    // operation.
    virtual HRESULT ASYNFRAME_STDCALL CreateAllocatedFile(IAsynIoOperation* operation, DWORD size_low,
                                                          DWORD size_high, DWORD name_length,
                                                          const char* name) = 0;  // slot 21
    // Dispatch thread. Opens the existing file `name` and gives it the size;
    // arguments and results as CreateAllocatedFile.
    virtual HRESULT ASYNFRAME_STDCALL ExtendFile(IAsynIoOperation* operation, DWORD size_low, DWORD size_high,
                                                 DWORD name_length, const char* name) = 0;  // slot 22
    // Dispatch thread. A file object. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateAsynFile(IAsynFile** file) = 0;  // slot 23
    // Dispatch thread. An ICMP socket. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateIcmpSocket(IAsynIcmpSocket** socket) = 0;  // slot 24
    // Dispatch thread. A resolver object. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateDns(IAsynDns** dns) = 0;  // slot 25
    // Any thread. A TLS client over `inner` (any TCP socket object, a
    // reference is kept). E_INVALIDARG for a null `inner` or out.
    virtual HRESULT ASYNFRAME_STDCALL CreateSSLSocket(IAsynTcpSocket* inner, IAsynSSLSocket** socket) = 0;  // slot 26
    // Any thread. A TCP socket through a proxy of `kind` (only
    // PROXY_KIND_SOCKS5; E_NOTIMPL otherwise) at host:port with the given
    // credentials. `socket` must be a TCP socket object of this library
    // (E_UNEXPECTED otherwise); it only vouches for the caller and is not used.
    virtual HRESULT ASYNFRAME_STDCALL CreateProxyTcpSocket(IAsynTcpSocket* socket, DWORD kind, DWORD host_length,
                                                           const char* host, WORD port, DWORD user_length,
                                                           const char* user, DWORD password_length,
                                                           const char* password,
                                                           IAsynProxyTcpSocket** proxy_socket) = 0;  // slot 27
    // Any thread. A rate limiter without limit. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL CreateSpeedLimit(ISpeedLimit** limit) = 0;  // slot 28
    // Any thread. A TCP socket that moves `inner`'s reads and writes only as
    // fast as `read_limit` and `write_limit` grant (either may be null: no
    // limit in that direction). The socket keeps references to the frame (its
    // timers), `inner` and the limiters. E_INVALIDARG for a null `inner` or out.
    virtual HRESULT ASYNFRAME_STDCALL CreateSpeedLimitSocket(IAsynTcpSocket* inner, ISpeedLimit* read_limit,
                                                             ISpeedLimit* write_limit,
                                                             IAsynTcpSocket** socket) = 0;  // slot 29
    // Any thread; slots 30 to 35 answer E_UNEXPECTED while the frame is not
    // running. Most connects in flight at once: `count` bounded by the setting
    // "connect_manager"/"max_syn_count", less the 2 places kept back for others
    // ("syn_num_for_others"), at least 1. E_INVALIDARG for 0.
    virtual HRESULT ASYNFRAME_STDCALL SetMaxSynCount(DWORD count) = 0;  // slot 30
    // Any thread. The limit on connects in flight.
    virtual HRESULT ASYNFRAME_STDCALL GetMaxSynCount(DWORD* count) = 0;  // slot 31
    // Any thread. Connects queued or in flight.
    virtual HRESULT ASYNFRAME_STDCALL GetSynCount(DWORD* count) = 0;  // slot 32
    // Any thread. Most scheduled connections at once, clamped to 1..1000.
    // E_INVALIDARG for 0.
    virtual HRESULT ASYNFRAME_STDCALL SetMaxConnection(DWORD count) = 0;  // slot 33
    // Any thread. The connection limit.
    virtual HRESULT ASYNFRAME_STDCALL GetMaxConnection(DWORD* count) = 0;  // slot 34
    // Any thread. Scheduled connections that are not closed yet.
    virtual HRESULT ASYNFRAME_STDCALL GetConnectionCount(DWORD* count) = 0;  // slot 35
    // Any thread except the dispatch thread (E_ACCESSDENIED there, as it waits
    // for it). Checks the proxy in `record` synchronously and stores a
    // PROXY_VERIFY_* code in `result`. `cancel_event` is reset first; setting
    // it from another thread ends the check with PROXY_VERIFY_CANCELLED.
    // E_INVALIDARG for a null record, event or result, and (with result 1) for
    // an empty host. A frame that stops meanwhile ends the check with
    // PROXY_VERIFY_NOT_RUN. The HTTP check asks for the setting
    // "proxy_verifier"/"http_url" through the proxy.
    virtual HRESULT ASYNFRAME_STDCALL VerifyProxy(PROXY_RECORD* record, ASYNFRAME_EVENT cancel_event,
                                                  LONG* result) = 0;  // slot 36
    // Any thread. The system's memory page size.
    virtual HRESULT ASYNFRAME_STDCALL GetPageSize(DWORD* size) = 0;  // slot 37
    // Any thread. One zeroed, page-aligned, read-write page (for the segments
    // of scatter operations). E_FAIL (out null) when none is available.
    virtual HRESULT ASYNFRAME_STDCALL AllocPage(void** page) = 0;  // slot 38
    // Any thread. Returns a page from AllocPage. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL FreePage(void* page) = 0;  // slot 39
    // Retired: allocates nothing, reads no argument, answers E_NOTIMPL.
    virtual HRESULT ASYNFRAME_STDCALL AllocBlock(DWORD size, void** block) = 0;  // slot 40
    // Retired: frees nothing, reads no argument, answers E_NOTIMPL.
    virtual HRESULT ASYNFRAME_STDCALL FreeBlock(void* block) = 0;  // slot 41
    // Dispatch thread. A UDP socket, as its IAsynUdpSocket2 face.
    // E_INVALIDARG for a null out (also off the dispatch thread).
    virtual HRESULT ASYNFRAME_STDCALL CreateUdpSocket2(IAsynUdpSocket2** socket) = 0;  // slot 42
    // Dispatch thread. A TCP listener, as its IAsynTcpListener2 face.
    // E_INVALIDARG for a null out (also off the dispatch thread).
    virtual HRESULT ASYNFRAME_STDCALL CreateTcpListener2(IAsynTcpListener2** listener) = 0;  // slot 43
    // Dispatch thread. A UDP socket relayed by a SOCKS5 proxy (UDP ASSOCIATE)
    // at host:port with the given credentials. E_INVALIDARG for a null out
    // (also off the dispatch thread).
    virtual HRESULT ASYNFRAME_STDCALL CreateSock5UdpSocket(DWORD host_length, const char* host, WORD port,
                                                           DWORD user_length, const char* user,
                                                           DWORD password_length, const char* password,
                                                           IAsynUdpSocket2** socket) = 0;  // slot 44
    // Any thread. Cancels the receiver's pending messages (OnMessageCanceled
    // for each); the receiver stays registered. E_UNEXPECTED when absent.
    virtual HRESULT ASYNFRAME_STDCALL CancelFrameMessages(IAsynMessageEvents* receiver) = 0;  // slot 45

protected:
    ~IAsynFrame() = default;
};

// Same table as IAsynFrame (see there).
struct IAsynFrame2 : IAsynFrame {
protected:
    ~IAsynFrame2() = default;
};

// Same table as IAsynFrame; the frame object derives from this one.
struct IAsynFrame3 : IAsynFrame2 {
protected:
    ~IAsynFrame3() = default;
};
static_assert(sizeof(IAsynFrame3) == sizeof(IAsynFrame), "the three frame interfaces share one table");

// Starting and stopping a frame created through its class object.
struct IAsynFramePlugin : IUnknown {
    // Builds and starts the engine. With `run_in_ui_thread` the calling thread
    // becomes the dispatch thread (the host must keep pumping it; OnFrameStart
    // is raised before this returns); otherwise the engine runs its own
    // thread. `settings` (may be null) supplies every tunable value, defaults
    // apply without it; `statistics` (may be null) is the host's statistics
    // sink. `reserved` is not read. E_UNEXPECTED when already running;
    // E_FAIL when the network layer cannot start.
    virtual HRESULT ASYNFRAME_STDCALL Initialize(BOOL run_in_ui_thread, ISettingsProvider* settings,
                                                 IStatisticsSink* statistics, DWORD reserved) = 0;  // slot 3
    // Stops the engine (OnFrameStop is raised) and destroys its services; the
    // frame may be initialised again. E_UNEXPECTED when not running or already
    // stopping.
    //
    // Threads: any thread. On a thread other than the dispatch thread it returns
    // once the frame has stopped; synchronous sends still waiting then return
    // E_FAIL. Inside one of the frame's own callbacks it returns S_OK at once
    // and the stop finishes when that callback has returned (the frame refuses
    // new work from other threads from the moment of the call). In UI-thread
    // mode, called on another thread, it waits for a callback running on the UI
    // thread to return; the UI thread's next pump finds no queue.
    //
    // Operations in flight: requests the stop cancels complete with 995 as long
    // as the engine runs; what is still queued behind the stop is abandoned:
    // no callback is made for it, and the references the request held on the
    // operation object are released. Frame timers are killed, queued frame
    // messages are dropped (no OnMessage, no OnMessageCanceled).
    //
    // The frame's last Release without Uninitialize does the same; made inside
    // one of the frame's callbacks, the frame stops and is destroyed after the
    // callback returns.
    virtual HRESULT ASYNFRAME_STDCALL Uninitialize() = 0;  // slot 4

protected:
    ~IAsynFramePlugin() = default;
};

// Diagnostics of interface use. The frame keeps no leak record: both slots
// hand the setter an empty text and return the setter's result.
struct IInterfaceLeak : IUnknown {
    // Detailed report; the two reserved values are not read.
    virtual HRESULT ASYNFRAME_STDCALL GetLeakReport(DWORD reserved1, DWORD reserved2, IStringSetter* report) = 0;  // slot 3
    // One-line summary.
    virtual HRESULT ASYNFRAME_STDCALL GetLeakSummary(IStringSetter* summary) = 0;  // slot 4

protected:
    ~IInterfaceLeak() = default;
};

}  // namespace asynframe

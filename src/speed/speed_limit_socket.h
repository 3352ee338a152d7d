// A TCP socket object that wraps another and moves its reads and writes only
// as fast as two limiters grant: each request asks its limiter first, is cut
// to the grant, and waits on a frame timer while nothing is granted.
#pragma once

#include "asynframe/events.h"
#include "asynframe/frame.h"
#include "asynframe/socket.h"
#include "asynframe/speed.h"
#include "component/asyn_io_operation_object.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "socket/forwarding_socket.h"

namespace asynframe {

class CAsynCompleteIoDevice;
class limited_socket_relay;

// Neither its timers nor its requests in flight hold the socket: they go
// through a relay that points back, so the caller's last Release ends the
// socket as it does a plain TCP socket's (the connection closes, a parked
// request completes with 995).
// Addresses (as text too), binding and receive options go to the inner socket
// unchanged.
class CAsynSpeedLimitSocket final
    : public forwarding_tcp_socket<CAsynSpeedLimitSocket, com_interfaces<CAsynSpeedLimitSocket, IAsynTcpSocket2>>,
      public CUnknownMultiThread {
public:
    // Frame timer ids of the parked read and the parked write.
    static constexpr DWORD read_timer = 0;
    static constexpr DWORD write_timer = 1;

    CAsynSpeedLimitSocket();

    // References are kept to each; either limiter may be null (no limit).
    void initialize(IAsynFrame* timers, IAsynTcpSocket* inner, ISpeedLimit* read_limit, ISpeedLimit* write_limit);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynIoDevice, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynTcpSocket, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynTcpSocket2, IAsynTcpSocket2>>;

    // E_UNEXPECTED while one is parked in the same direction or after Close;
    // E_INVALIDARG for a foreign or busy operation or a range outside its
    // buffer.
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override;
    // Whole-range transfers whose every piece is limited.
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override;
    // Closes the inner socket; a parked request completes with 995.
    HRESULT ASYNFRAME_STDCALL Close() override;
    HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                      LONG priority) override;

    IAsynTcpSocket* inner_socket() const noexcept { return _inner.get(); }

    // The relay's calls, on the dispatch thread.
    void on_timer(DWORD id);
    void report(bool read, DWORD bytes);

    bool read_parked() const noexcept { return _read_parked != nullptr; }
    bool write_parked() const noexcept { return _write_parked != nullptr; }

private:
    ~CAsynSpeedLimitSocket() override;

    HRESULT transfer(IAsynIoOperation* operation, bool read);
    void abandon_parked(bool read) noexcept;

    ref_ptr<IAsynFrame> _timers;
    ref_ptr<IAsynTcpSocket> _inner;
    ref_ptr<ISpeedLimit> _read_limit;
    ref_ptr<ISpeedLimit> _write_limit;
    IAsynIoOperation* _read_parked = nullptr;   // m_pReadOpt
    IAsynIoOperation* _write_parked = nullptr;  // m_pWriteOpt
    limited_socket_relay* _relay = nullptr;
    // Set by Close, cleared by a Connect the inner socket takes.
    bool _closed = false;
    CAsynCompleteIoDevice* _complete_device = nullptr;
};

}  // namespace asynframe

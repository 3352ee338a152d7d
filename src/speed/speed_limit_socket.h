// A TCP socket object that wraps another and moves its reads and writes only
// as fast as two limiters grant: each request asks its limiter first, is cut
// to the grant, and waits on a frame timer while nothing is granted.
#pragma once

#include "asynframe/events.h"
#include "asynframe/frame.h"
#include "asynframe/socket.h"
#include "asynframe/speed.h"
#include "component/asyn_io_operation_object.h"
#include "component/unknown_base.h"

namespace asynframe {

class CAsynCompleteIoDevice;
class limited_socket_relay;

// Neither its timers nor its requests in flight hold the socket: they go
// through a relay that points back, so the caller's last Release ends the
// socket as it does a plain TCP socket's (the connection closes, a parked
// request completes with 995).
class CAsynSpeedLimitSocket final : public IAsynTcpSocket, public CUnknownMultiThread {
public:
    // Frame timer ids of the parked read and the parked write.
    static constexpr DWORD read_timer = 0;
    static constexpr DWORD write_timer = 1;

    CAsynSpeedLimitSocket();

    // References are kept to each; either limiter may be null (no limit).
    void initialize(IAsynFrame* timers, IAsynTcpSocket* inner, ISpeedLimit* read_limit, ISpeedLimit* write_limit);

    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override;
    ULONG ASYNFRAME_STDCALL AddRef() override { return internal_add_ref(); }
    ULONG ASYNFRAME_STDCALL Release() override { return internal_release(); }

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
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) override;
    HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) override;

    // The relay's calls, on the dispatch thread.
    void on_timer(DWORD id);
    void report(bool read, DWORD bytes);

    bool read_parked() const noexcept { return _read_parked != nullptr; }
    bool write_parked() const noexcept { return _write_parked != nullptr; }

private:
    ~CAsynSpeedLimitSocket() override;

    HRESULT transfer(IAsynIoOperation* operation, bool read);
    void abandon_parked(bool read) noexcept;

    IAsynFrame* _timers = nullptr;
    IAsynTcpSocket* _inner = nullptr;
    ISpeedLimit* _read_limit = nullptr;
    ISpeedLimit* _write_limit = nullptr;
    IAsynIoOperation* _read_parked = nullptr;   // m_pReadOpt
    IAsynIoOperation* _write_parked = nullptr;  // m_pWriteOpt
    limited_socket_relay* _relay = nullptr;
    // Set by Close, cleared by a Connect the inner socket takes.
    bool _closed = false;
    CAsynCompleteIoDevice* _complete_device = nullptr;
};

}  // namespace asynframe

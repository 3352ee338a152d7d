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

class CAsynSpeedLimitSocket final : public IAsynTcpSocket,
                                    public IAsynTimerEvents,
                                    public CAsynIoOperationLayer,
                                    public CUnknownMultiThread {
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

    // E_UNEXPECTED while one is parked in the same direction; E_INVALIDARG
    // for a foreign or busy operation or a range outside its buffer.
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override;
    // Whole-range transfers whose every piece is limited.
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override;
    // Closes the inner socket; parked operations are abandoned (no completion).
    HRESULT ASYNFRAME_STDCALL Close() override;
    HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                      LONG priority) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) override;
    HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) override;

    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override;

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override;

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
    CAsynCompleteIoDevice* _complete_device = nullptr;
};

}  // namespace asynframe

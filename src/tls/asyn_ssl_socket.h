// A TLS client with the face of a TCP socket, over any TCP socket object: it
// drives the inner socket through one operation of its own and runs the
// protocol through the platform's TLS session, whose records it carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asynframe/frame.h"
#include "asynframe/tls.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "engine/singleton.h"
#include "platform/tls.h"

namespace asynframe {

class CAsynCompleteIoDevice;
class ssl_inner_events;

class CAsynSSLSocket final : public com_interfaces<CAsynSSLSocket, IAsynSSLSocket2>, public CUnknownMultiThread {
public:
    // What the inner operation is doing.
    enum activity_kind : std::uint32_t { connecting = 0, handshaking = 1, writing = 2, reading = 3 };
    // Where the handshake stands.
    enum handshake_kind : std::uint32_t { sending_token = 0, receiving_token = 1, handshake_done = 2, handshake_failed = 3 };

    CAsynSSLSocket();

    // The frame creates operations and posts completions; the services give
    // the dispatch thread and the settings. References are kept to the frame
    // and the inner socket.
    void initialize(IAsynFrame* frame, singleton_instance* services, IAsynTcpSocket* inner);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynIoDevice, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynTcpSocket, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynSSLSocket, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynSSLSocket2, IAsynSSLSocket2>>;

    // Dispatch thread (E_ACCESSDENIED elsewhere). E_UNEXPECTED when not open,
    // before the handshake has completed or after it failed, or while the
    // other direction holds the inner operation (the operation does not
    // complete); E_INVALIDARG for a foreign or busy operation or a range
    // outside its buffer. With one of the same kind outstanding, a framework
    // assertion.
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override;
    // Sends the close_notify, closes the inner socket and completes what is
    // pending with 1930. E_UNEXPECTED when not open.
    HRESULT ASYNFRAME_STDCALL Close() override;
    HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                      LONG priority) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) override;
    HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) override;
    HRESULT ASYNFRAME_STDCALL Handshake(IAsynIoOperation* operation) override;
    // Dispatch thread; E_UNEXPECTED while open (from Connect or Handshake
    // until Close).
    HRESULT ASYNFRAME_STDCALL SetServerName(DWORD name_length, const char* name) override;
    HRESULT ASYNFRAME_STDCALL GetFailureText(IStringSetter* text) override;

    // The inner operation's completion, on the dispatch thread.
    void on_inner_complete(IAsynIoOperation* operation);

    std::uint32_t handshake_status() const noexcept { return _handshake_status; }
    // Decrypted bytes waiting for a reader.
    std::uint32_t result_data_held() const noexcept { return _result_data_pos; }
    // The message of the last failure, with the TLS library's reason.
    const std::string& failure_text() const noexcept { return _failure_text; }
    // The negotiated protocol ("TLSv1.3"), empty before the handshake.
    std::string protocol() const { return _session.protocol(); }

private:
    ~CAsynSSLSocket() override;

    bool in_dispatch_thread() const noexcept;
    bool verify_peer() const;
    HRESULT close_connection();
    HRESULT create_inner_operation();
    void release_inner_operation() noexcept;
    void reset_tls_state() noexcept;

    void start_handshake(const std::string& host);
    void handshake_step(DWORD error, DWORD bytes);
    void finish_handshake();
    void write_step(DWORD error, DWORD bytes);
    void read_step(DWORD error, DWORD bytes);
    // Decrypts held input and hands out or asks for more; S_OK or the refusal
    // of the inner request it started.
    HRESULT continue_read();
    HRESULT receive_more();
    // Decrypts the session's input into _result_data; false on a failure.
    bool decrypt_held();
    void deliver_read();
    // Completes the caller's operation of the current activity with `error`.
    void fail_current(DWORD error, const char* message);

    // The inner operation has a request in flight.
    bool inner_busy() const noexcept;
    std::uint8_t* inner_buffer(DWORD* size = nullptr) const;

    // At least `size` bytes, in steps of 8192; the content is not kept.
    void grow_inner_buffer(std::uint32_t size);
    // Moves all the session's output into the inner buffer; its length.
    std::uint32_t take_session_output();
    HRESULT inner_write(std::uint32_t start, std::uint32_t length);
    HRESULT inner_read(std::uint32_t start, std::uint32_t length);
    void complete(IAsynIoOperation*& pending, DWORD error, DWORD bytes);

    IAsynFrame* _frame_ptr = nullptr;
    singleton_instance* _services = nullptr;
    IAsynTcpSocket* _inner_socket = nullptr;
    IAsynIoOperation* _operation_ptr = nullptr;
    ssl_inner_events* _inner_events = nullptr;
    bool _open = false;
    // The name or address given to Connect (or the one Handshake checks).
    std::string _host;
    // The name Handshake checks before the setting's; kept across Close.
    std::string _server_name;
    platform::tls::client_session _session;
    std::uint32_t _io_buffer_len = 0;
    std::uint32_t _activity = connecting;
    std::uint32_t _handshake_status = sending_token;
    std::uint32_t _data_operate_bytes = 0;
    std::uint32_t _data_pos = 0;
    std::vector<std::uint8_t> _result_data;
    std::uint32_t _result_data_pos = 0;
    IAsynIoOperation* _connect_op_ptr = nullptr;
    IAsynIoOperation* _read_op_ptr = nullptr;
    IAsynIoOperation* _write_op_ptr = nullptr;
    std::uint32_t _write_len = 0;
    std::uint32_t _read_len = 0;
    std::uint32_t _read_pos = 0;
    // The last handshake flight is being sent; the connect completes after it.
    bool _handshake_finishing = false;
    // Bytes the session produced while reading are being sent.
    bool _read_flushing = false;
    // The peer's close_notify arrived: reads end with 0 bytes.
    bool _peer_closed = false;
    std::string _failure_text;
    // The TLS library's reason for the failure being raised.
    std::string _failure_detail;
    CAsynCompleteIoDevice* _complete_device = nullptr;
};

}  // namespace asynframe

// A TLS client with the face of a TCP socket, over any TCP socket object: it
// drives the inner socket through one operation of its own and runs the
// protocol through the platform's TLS session, whose records it carries.
#pragma once

#include <cstdint>
#include <memory>
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
    // `contexts`: the frame's TLS contexts, shared by its sockets (null: the
    // socket builds its own for each handshake).
    void initialize(IAsynFrame* frame, singleton_instance* services, IAsynTcpSocket* inner,
                    std::shared_ptr<platform::tls::context_cache> contexts = nullptr);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynIoDevice, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynTcpSocket, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynSSLSocket, IAsynSSLSocket2>,
                                       interface_entry<IID_IAsynSSLSocket2, IAsynSSLSocket2>>;

    // Dispatch thread (E_ACCESSDENIED elsewhere). E_UNEXPECTED when not open,
    // or before the handshake has completed or after it failed (the operation
    // does not complete); E_INVALIDARG for a foreign or busy operation or a
    // range outside its buffer. With one of the same kind outstanding, a
    // framework assertion. A Read and a Write may be outstanding together.
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
    // The handshake resumed a session of an earlier connection.
    bool session_resumed() const noexcept { return _session.resumed(); }

private:
    ~CAsynSSLSocket() override;

    bool in_dispatch_thread() const noexcept;
    bool verify_peer() const;
    HRESULT close_connection();
    HRESULT create_inner_operation();
    HRESULT create_write_operation(int index);
    void release_inner_operation() noexcept;
    void reset_tls_state() noexcept;

    void start_handshake(const std::string& host);
    void handshake_step(DWORD error, DWORD bytes);
    void finish_handshake();
    // Completes the caller's connect (or handshake) with `error`.
    void fail_current(DWORD error, const char* message);
    // The text a failure leaves for GetFailureText, with the library's reason.
    std::string failure_message(const char* message);

    // Writes: the caller's plaintext is encrypted a chunk of records at a
    // time into one of two inner write operations; one is sent while the
    // next is encrypted, so encrypting and sending overlap.
    void write_step(int index, DWORD error, DWORD bytes);
    // Sends and encrypts what it can; completes the caller's write when all
    // of it has been sent.
    void pump_output();
    // Encrypts the next chunk (after what the session has queued) into write
    // operation `index`; its length, 0 when there is nothing to send.
    std::uint32_t fill_chunk(int index);
    void write_failed(DWORD error, const std::string& message);

    // Reads: one inner read is kept in flight while there is room for what
    // it brings, whether or not a caller's read waits (so the server's
    // session tickets and key updates are taken in as they come).
    void read_step(DWORD error, DWORD bytes);
    // Hands out what is decrypted or fails the read with what went wrong;
    // then keeps the inner read going. S_OK, or the refusal of the inner read.
    HRESULT service_read();
    HRESULT ensure_reading();
    // Bytes asked of the inner socket by the next read.
    std::uint32_t inner_read_size() const noexcept;
    // Decrypts the session's input into _result_data; false on a failure.
    bool decrypt_held();
    void read_failed(DWORD error, const std::string& message);
    // read_step, or (without a completion) the first look after the
    // handshake, turning what it raises into a failure of the read.
    void guarded_read(bool completion, DWORD error, DWORD bytes);

    // The inner operation has a request in flight.
    bool inner_busy() const noexcept;
    std::uint8_t* inner_buffer(DWORD* size = nullptr) const;

    // At least `size` bytes, in steps of 8192; the content is not kept.
    void grow_inner_buffer(std::uint32_t size);
    static void grow_buffer(IAsynIoOperation* operation, std::uint32_t size);
    // Moves all the session's output into the inner buffer; its length.
    std::uint32_t take_session_output();
    HRESULT inner_write(std::uint32_t start, std::uint32_t length);
    HRESULT inner_read(std::uint32_t start, std::uint32_t length);
    void complete(IAsynIoOperation*& pending, DWORD error, DWORD bytes);
    // Asks the engine to hand queued requests to the kernel now.
    void submit_now() noexcept;

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
    std::shared_ptr<platform::tls::context_cache> _contexts;
    // The two inner write operations, what each holds to send, which one is
    // in flight (-1: none) with the bytes of it still unsent, and which one
    // is encrypted and waits (-1: none).
    IAsynIoOperation* _write_ops[2] = {nullptr, nullptr};
    std::uint32_t _write_fill[2] = {0, 0};
    int _write_inflight = -1;
    std::uint32_t _inflight_pos = 0;
    std::uint32_t _inflight_left = 0;
    int _write_staged = -1;
    // Plaintext of the caller's write encrypted so far.
    std::uint32_t _write_done = 0;
    // An inner read is in flight on _operation_ptr (after the handshake).
    bool _reading = false;
    // The connection ended (0 bytes) under a read nobody had asked for yet.
    bool _eof = false;
    // A failure of a read nobody had asked for yet: the next read gets it.
    bool _read_failed = false;
    DWORD _read_failure_code = 0;
    std::string _read_failure_text;
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
    std::uint32_t _last_read_len = 0;  // the window of the latest Read, for reading ahead
    // The last handshake flight is being sent; the connect completes after it.
    bool _handshake_finishing = false;
    // The peer's close_notify arrived: reads end with 0 bytes.
    bool _peer_closed = false;
    std::string _failure_text;
    // The TLS library's reason for the failure being raised.
    std::string _failure_detail;
    CAsynCompleteIoDevice* _complete_device = nullptr;
};

}  // namespace asynframe

// The component objects that reach the network through a SOCKS5 proxy: a TCP
// connection (CONNECT), a listener (one BIND, one accepted connection) and a
// UDP socket (UDP ASSOCIATE and the relay), each with the face of its direct
// counterpart.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "asynframe/dns.h"
#include "asynframe/proxy.h"
#include "asynframe/socket.h"
#include "component/asyn_io_operation_object.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "engine/asyn_io_handler.h"
#include "proxy/socks_server_socket.h"
#include "socket/asyn_datagram_device.h"
#include "socket/forwarding_socket.h"

namespace asynframe {

class CAsynAcceptLayer;
class CAsynTcpSocket;

// Where a proxy is and who logs in.
struct proxy_settings {
    std::string host;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
};

// Reads, writes, addresses (the proxy's, as text too), binding and receive
// options go to the inner connection unchanged.
class CAsynSock5TcpSocket final
    : public forwarding_tcp_socket<CAsynSock5TcpSocket, com_interfaces<CAsynSock5TcpSocket, IAsynProxyTcpSocket, IAsynTcpSocket2>>,
      public with_singleton,
      public CUnknownMultiThread {
public:
    CAsynSock5TcpSocket(singleton_instance* services, proxy_settings proxy);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynProxyTcpSocket>,
                                       interface_entry<IID_IAsynIoDevice, IAsynProxyTcpSocket>,
                                       interface_entry<IID_IAsynTcpSocket, IAsynProxyTcpSocket>,
                                       interface_entry<IID_IAsynProxyTcpSocket, IAsynProxyTcpSocket>,
                                       interface_entry<IID_IAsynTcpSocket2, IAsynTcpSocket2>>;

    // Ends the exchange with the proxy (its operation completes with 1930),
    // then closes the connection.
    HRESULT ASYNFRAME_STDCALL Close() override;
    // Connects to the proxy and has it connect to `host`:`port`.
    HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                      LONG priority) override;
    HRESULT ASYNFRAME_STDCALL Login(IAsynIoOperation* operation) override;

    IAsynTcpSocket* inner_socket() const noexcept;

private:
    ~CAsynSock5TcpSocket() override;
    HRESULT start(IAsynIoOperation* operation, const std::string* host, WORD port, LONG priority);

    proxy_settings _proxy;
    CAsynTcpSocket* _inner;
    std::unique_ptr<socks_wrapper> _wrapper;
};

class CAsynSock5TcpListener final : public com_interfaces<CAsynSock5TcpListener, IAsynTcpListener3>,
                                    public with_singleton,
                                    public CUnknownMultiThread {
public:
    // The proxy, and the BIND target: the host expected to connect.
    CAsynSock5TcpListener(singleton_instance* services, proxy_settings proxy, std::string bind_host,
                          std::uint16_t bind_port);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener2, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener3, IAsynTcpListener3>>;

    // The operation completes with the proxy's first reply; the bound address is known from then on.
    HRESULT ASYNFRAME_STDCALL Listen(WORD port, IAsynIoOperation* operation) override;
    // The address the proxy listens on for this listener.
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(IStringSetter* address, WORD* port) override;
    // Completes with the one connection the proxy accepted as a TCP socket
    // (the result object); a second accept completes with -1.
    HRESULT ASYNFRAME_STDCALL Accept(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Close() override;
    // The address is not used: the proxy listens where it chooses.
    HRESULT ASYNFRAME_STDCALL ListenOn(DWORD address, WORD port, IAsynIoOperation* operation) override;
    // Likewise, once `address` has been checked to be an address of either
    // family (E_INVALIDARG otherwise).
    HRESULT ASYNFRAME_STDCALL ListenOnAddress(DWORD address_length, const char* address, WORD port,
                                              IAsynIoOperation* operation) override;

private:
    // Closes the connection to the proxy: an accept or listen in flight
    // completes as Close completes it.
    ~CAsynSock5TcpListener() override;

    std::unique_ptr<socks_asyn_server_socket> _server;
    // Not the listener itself, so that an accept in flight does not keep it alive.
    CAsynAcceptLayer* _accept_layer;
    bool _listening = false;
};

class CAsynSock5UdpSocket final : public com_interfaces<CAsynSock5UdpSocket, IAsynUdpSocket3, IAsynIoOperationEvents>,
                                  public asyn_io_handler,
                                  public CUnknownMultiThread {
public:
    enum state_t : std::uint8_t { closed = 0, associating = 1, open = 2, failed = 3, closed_for_good = 4 };
    // A held write's buffer may hold this much; a held read's range must hold at least the other.
    static constexpr DWORD max_write_buffer = 1400;
    static constexpr DWORD min_read_range = 1500;
    static constexpr std::uint32_t receive_size = 2048;

    CAsynSock5UdpSocket(singleton_instance* services, proxy_settings proxy);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynUdpSocket3>,
                                       interface_entry<IID_IAsynIoDevice, IAsynUdpSocket3>,
                                       interface_entry<IID_IAsynUdpSocket2, IAsynUdpSocket3>,
                                       interface_entry<IID_IAsynUdpSocket3, IAsynUdpSocket3>>;

    // One datagram from the relay: its payload, and its origin as the operation's address.
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override;
    // The range as one datagram to the operation's address, through the relay.
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation*) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation*) override { return E_NOTIMPL; }
    // For good: held operations complete with E_ABORT, as they do when the
    // socket is released without Close.
    HRESULT ASYNFRAME_STDCALL Close() override;
    // Binds the local socket, then asks the proxy for its relay.
    HRESULT ASYNFRAME_STDCALL Open(DWORD address, WORD port, IAsynIoOperation* operation) override;
    // The relay's address and port (address 0 for an IPv6 relay).
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    // Binds the local socket on an address of either family: one opened on
    // IPv6 reaches an IPv6 relay, and takes datagrams from IPv6 origins.
    HRESULT ASYNFRAME_STDCALL OpenOn(DWORD address_length, const char* address, WORD port,
                                     IAsynIoOperation* operation) override;
    // The target may be of either family whatever the relay's: it travels in
    // the relay header.
    HRESULT ASYNFRAME_STDCALL SendTo(IAsynIoOperation* operation, DWORD address_length, const char* address,
                                     WORD port) override;
    HRESULT ASYNFRAME_STDCALL GetSourceAddress(IAsynIoOperation* operation, IStringSetter* address,
                                               WORD* port) override;
    // The relay's address.
    HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) override;

    // The relay host's resolution.
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override;

    void on_io_complete(asyn_io_operation* operation) override;
    void cancel() override {}

    state_t state() const noexcept { return _state; }
    // The local socket's port (host order), 0 before Open.
    std::uint16_t local_port() noexcept;

private:
    ~CAsynSock5UdpSocket() override;

    bool in_dispatch_thread() const noexcept;
    // The proxy connection, the socket and the private operations go; held
    // operations complete with E_ABORT.
    void close_for_good();
    // SetResult on the held operation and its completion; the hold goes.
    void complete(IAsynIoOperation*& held, DWORD error, DWORD bytes);
    void associated(asyn_io_operation* operation);
    void received(asyn_io_operation* operation);
    void start_receive();
    void resolve_relay(const std::string& host);
    HRESULT open_on(const platform::endpoint& local, IAsynIoOperation* operation);

    proxy_settings _proxy;
    std::unique_ptr<asyn_socket_device_imp> _control;
    std::unique_ptr<socks_wrapper> _wrapper;
    asyn_udp_device _udp_device;
    state_t _state = closed;
    platform::endpoint _relay;
    std::uint32_t _send_header = 0;  // the relay header's size in the send in flight
    IAsynIoOperation* _open_op = nullptr;
    IAsynIoOperation* _read_op = nullptr;
    IAsynIoOperation* _write_op = nullptr;
    asyn_io_operation* _associate_op = nullptr;
    asyn_io_operation* _receive_op = nullptr;
    asyn_io_operation* _send_op = nullptr;
    IAsynDns* _dns = nullptr;
    IAsynIoOperation* _resolving = nullptr;
};

}  // namespace asynframe

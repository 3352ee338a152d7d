// The component objects through which callers use sockets: TCP connections,
// TCP listeners, UDP and ICMP sockets. Thin: each method checks the thread,
// its state and its arguments, then calls the device; a device failure while
// a request starts becomes that request's completion.
#pragma once

#include <cstdint>
#include <memory>

#include "asynframe/socket.h"
#include "component/asyn_io_operation_object.h"
#include "component/io_device.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "socket/asyn_datagram_device.h"
#include "socket/asyn_socket_device.h"

namespace asynframe {

// The checks and the failure path every socket object shares.
// The frame's dispatch thread is the caller's.
bool on_dispatch_thread(const singleton_instance* services) noexcept;
// A framework operation object that is free for a request, or null.
CAsynIoOperation* usable_operation(IAsynIoOperation* operation) noexcept;
// A request that could not be started completes with `code` instead; the
// request's reference, taken by the caller, goes with that completion.
void fail_started_request(CAsynIoOperation* object, std::uint32_t code);
// The address text of a host's slot (exactly `length` bytes) as an endpoint
// with `port`; false when it is not an address.
bool endpoint_of_text(DWORD length, const char* text, WORD port, platform::endpoint& out) noexcept;
// Hands an endpoint's address text and port to a host: E_FAIL when it has no
// family.
HRESULT give_address_text(const platform::endpoint& address, IStringSetter* text, WORD* port);
// The address an operation carries (a datagram's sender or target) as text.
HRESULT operation_address_text(IAsynIoOperation* operation, IStringSetter* text, WORD* port);

class CAsynTcpSocket final : public com_interfaces<CAsynTcpSocket, IAsynTcpSocket2>,
                             public CAsynIoDevice,
                             public CUnknownMultiThread {
public:
    // Takes `device` (may be null: one without a socket is made). Reference
    // count 1, owned by the caller.
    CAsynTcpSocket(singleton_instance* services, std::unique_ptr<asyn_socket_device_imp> device);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynIoDevice, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynTcpSocket, IAsynTcpSocket2>,
                                       interface_entry<IID_IAsynTcpSocket2, IAsynTcpSocket2>>;

    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override { return CAsynIoDevice::Read(operation); }
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override { return CAsynIoDevice::Write(operation); }
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::ReadFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::WriteFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL Close() override { return CAsynIoDevice::Close(); }

    HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length, const char* host, WORD port,
                                      LONG priority) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) override;
    HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) override;
    HRESULT ASYNFRAME_STDCALL Bind(DWORD address_length, const char* address, WORD port) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetPeerAddressText(IStringSetter* address, WORD* port) override;

    asyn_socket_device_imp* socket_device() const noexcept { return static_cast<asyn_socket_device_imp*>(_device); }

private:
    ~CAsynTcpSocket() override;
    IAsynIoDevice* full_transfer_face() noexcept override { return static_cast<IAsynTcpSocket*>(this); }
};

// Sees an accept's completion before the caller and turns the accepted socket
// into a CAsynTcpSocket, the operation's result object. An object of its own
// rather than the listener: an accept in flight must not keep the listener,
// and so its listening socket, alive once the caller has let it go.
class CAsynAcceptLayer final : public com_interfaces<CAsynAcceptLayer, CAsynIoOperationLayer>,
                               public with_singleton,
                               public CUnknownMultiThread {
public:
    explicit CAsynAcceptLayer(singleton_instance* services);

    using interfaces = interface_table<interface_entry<IID_IUnknown, CAsynIoOperationLayer>>;

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override;

private:
    ~CAsynAcceptLayer() override = default;
};

class CAsynTcpListener final : public com_interfaces<CAsynTcpListener, IAsynTcpListener3>,
                               public with_singleton,
                               public CUnknownMultiThread {
public:
    explicit CAsynTcpListener(singleton_instance* services);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener2, IAsynTcpListener3>,
                                       interface_entry<IID_IAsynTcpListener3, IAsynTcpListener3>>;

    HRESULT ASYNFRAME_STDCALL Listen(WORD port, IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(IStringSetter* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL Accept(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Close() override;
    HRESULT ASYNFRAME_STDCALL ListenOn(DWORD address, WORD port, IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL ListenOnAddress(DWORD address_length, const char* address, WORD port,
                                              IAsynIoOperation* operation) override;

    asyn_socket_device_imp* listening_device() const noexcept { return _device.get(); }

private:
    // Closes the listening socket: an accept in flight completes with 995.
    ~CAsynTcpListener() override;
    bool in_dispatch_thread() const noexcept;
    HRESULT listen_on(const platform::endpoint& address, IAsynIoOperation* operation);

    std::unique_ptr<asyn_socket_device_imp> _device;
    CAsynAcceptLayer* _accept_layer;
    bool _listening = false;
};

class CAsynUdpSocket final : public com_interfaces<CAsynUdpSocket, IAsynUdpSocket, IAsynUdpSocket3>,
                             public CAsynIoDevice,
                             public CUnknownMultiThread {
public:
    explicit CAsynUdpSocket(singleton_instance* services);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynUdpSocket>,
                                       interface_entry<IID_IAsynIoDevice, IAsynUdpSocket>,
                                       interface_entry<IID_IAsynUdpSocket, IAsynUdpSocket>,
                                       interface_entry<IID_IAsynUdpSocket2, IAsynUdpSocket3>,
                                       interface_entry<IID_IAsynUdpSocket3, IAsynUdpSocket3>>;

    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override { return CAsynIoDevice::Read(operation); }
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override { return CAsynIoDevice::Write(operation); }
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::ReadFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::WriteFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL Close() override { return CAsynIoDevice::Close(); }

    HRESULT ASYNFRAME_STDCALL Open(WORD port) override;
    HRESULT ASYNFRAME_STDCALL Open(DWORD address, WORD port, IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL OpenOn(DWORD address_length, const char* address, WORD port,
                                     IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL SendTo(IAsynIoOperation* operation, DWORD address_length, const char* address,
                                     WORD port) override;
    HRESULT ASYNFRAME_STDCALL GetSourceAddress(IAsynIoOperation* operation, IStringSetter* address,
                                               WORD* port) override;
    HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) override;

    asyn_udp_device& udp_device() noexcept { return _udp_device; }

private:
    ~CAsynUdpSocket() override;
    IAsynIoDevice* full_transfer_face() noexcept override { return static_cast<IAsynUdpSocket*>(this); }
    // 0, the Winsock code of the failure, or E_FAIL when broadcast cannot be allowed.
    std::uint32_t open(const platform::endpoint& address);
    HRESULT open_reporting(const platform::endpoint& address, IAsynIoOperation* operation);

    asyn_udp_device _udp_device;
};

class CAsynIcmpSocket final : public com_interfaces<CAsynIcmpSocket, IAsynIcmpSocket>,
                              public CAsynIoDevice,
                              public CUnknownMultiThread {
public:
    explicit CAsynIcmpSocket(singleton_instance* services);

    using interfaces = single_interface<IID_IAsynIcmpSocket, IAsynIcmpSocket>;

    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override { return CAsynIoDevice::Read(operation); }
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override { return CAsynIoDevice::Write(operation); }
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::ReadFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::WriteFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL Close() override { return CAsynIoDevice::Close(); }

    HRESULT ASYNFRAME_STDCALL Open() override;
    HRESULT ASYNFRAME_STDCALL SetTtl(DWORD ttl) override;

private:
    ~CAsynIcmpSocket() override;
    IAsynIoDevice* full_transfer_face() noexcept override { return static_cast<IAsynIcmpSocket*>(this); }

    asyn_icmp_device _icmp_device;
};

}  // namespace asynframe

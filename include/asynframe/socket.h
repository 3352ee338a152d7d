// TCP, UDP and ICMP sockets and TCP listeners.
//
// Addresses cross these interfaces as a 32-bit IPv4 address in network byte
// order and a 16-bit port in host byte order (IAsynTcpListener hands its local
// address out as dotted text instead). IAsynTcpSocket2, IAsynUdpSocket3 and
// IAsynTcpListener3 take and give addresses of either family as text: dotted
// IPv4 ("0.0.0.0"), or IPv6 with or without brackets ("::1", "[::1]", "::";
// a link-local zone as a number, "fe80::1%2"). An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d, as a dual-stack socket sees its IPv4 peers) is always
// reported as the IPv4 address, through the text and the 32-bit slots alike.
// Every slot must be called on the frame's dispatch thread (E_ACCESSDENIED
// otherwise); failures of a request that was accepted arrive as the
// operation's completion with a Winsock code.
#pragma once

#include "asynframe/com.h"
#include "asynframe/device.h"
#include "asynframe/operation.h"
#include "asynframe/strings.h"

namespace asynframe {

// {35671780-4E44-4563-A330-2876AEE3A5BB}
inline constexpr IID IID_IAsynTcpSocket = {
    0x35671780, 0x4E44, 0x4563, {0xA3, 0x30, 0x28, 0x76, 0xAE, 0xE3, 0xA5, 0xBB}};
// {2C94171F-82C0-4CCB-A883-76E29C6AEAE2}
inline constexpr IID IID_IAsynUdpSocket = {
    0x2C94171F, 0x82C0, 0x4CCB, {0xA8, 0x83, 0x76, 0xE2, 0x9C, 0x6A, 0xEA, 0xE2}};
// {3CB9675F-E70D-4C01-BAD9-E1A150E1839E}
inline constexpr IID IID_IAsynUdpSocket2 = {
    0x3CB9675F, 0xE70D, 0x4C01, {0xBA, 0xD9, 0xE1, 0xA1, 0x50, 0xE1, 0x83, 0x9E}};
// {91AAF082-BA4B-4C28-B042-D3CAB0244E8F}
inline constexpr IID IID_IAsynTcpListener = {
    0x91AAF082, 0xBA4B, 0x4C28, {0xB0, 0x42, 0xD3, 0xCA, 0xB0, 0x24, 0x4E, 0x8F}};
// {50E23E57-5350-4A69-AC61-DD4E22B7EC34}
inline constexpr IID IID_IAsynTcpListener2 = {
    0x50E23E57, 0x5350, 0x4A69, {0xAC, 0x61, 0xDD, 0x4E, 0x22, 0xB7, 0xEC, 0x34}};
// {3F32A249-6D15-4367-B1E6-FA2C09FA9AE4}
inline constexpr IID IID_IAsynTcpSocket2 = {
    0x3F32A249, 0x6D15, 0x4367, {0xB1, 0xE6, 0xFA, 0x2C, 0x09, 0xFA, 0x9A, 0xE4}};
// {4F0EC8DE-7ED4-4B71-A8B5-5732403F67F0}
inline constexpr IID IID_IAsynUdpSocket3 = {
    0x4F0EC8DE, 0x7ED4, 0x4B71, {0xA8, 0xB5, 0x57, 0x32, 0x40, 0x3F, 0x67, 0xF0}};
// {31C54E5A-DD16-4014-A43B-B243AF52C24A}
inline constexpr IID IID_IAsynTcpListener3 = {
    0x31C54E5A, 0xDD16, 0x4014, {0xA4, 0x3B, 0xB2, 0x43, 0xAF, 0x52, 0xC2, 0x4A}};
// {2D7B9AE9-C33A-4D98-B738-596F82044993}
inline constexpr IID IID_IAsynIcmpSocket = {
    0x2D7B9AE9, 0xC33A, 0x4D98, {0xB7, 0x38, 0x59, 0x6F, 0x82, 0x04, 0x49, 0x93}};

// A TCP connection (outgoing, or accepted by a listener). Read and Write work
// once the connect has completed without error.
struct IAsynTcpSocket : IAsynIoDevice {
    // Connects to `host` (exactly `host_length` bytes: a name, a dotted IPv4
    // address or an IPv6 address, with or without brackets) and `port`. The connection scheduler orders connects by
    // `priority` (higher first), resolves the name and tries its addresses;
    // the operation completes with 0 or the last Winsock error, and 0 bytes.
    // E_INVALIDARG for an empty or null host or an unusable operation;
    // E_UNEXPECTED when a connect was already started (Close first, also after
    // a failed connect). Closing the socket while the connect is queued or
    // running completes it with 995.
    virtual HRESULT ASYNFRAME_STDCALL Connect(IAsynIoOperation* operation, DWORD host_length,
                                              const char* host, WORD port, LONG priority) = 0;  // slot 8
    // Local endpoint. E_INVALIDARG when either out is null; E_FAIL when unknown
    // (outs untouched).
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) = 0;  // slot 9
    // Remote endpoint. E_INVALIDARG when either out is null; E_FAIL when
    // unknown (outs zeroed).
    virtual HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) = 0;  // slot 10
    // A receive still waiting after this long is cancelled and completes with
    // ERROR_OPERATION_ABORTED (995). Default 90,000 ms; 0xFFFFFFFF turns the
    // time-out off. E_INVALIDARG for 0.
    virtual HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) = 0;  // slot 11
    // Kernel receive buffer size, applied now or when the socket is created.
    // E_INVALIDARG for 0.
    virtual HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) = 0;  // slot 12

protected:
    ~IAsynTcpSocket() = default;
};

// The plain TCP socket's addresses of either family. A socket has the family
// of its first Bind, else of its Connect host when that is an IPv6 address,
// else IPv4; an IPv6 socket reaches IPv4 peers too. The 32-bit slots give
// E_FAIL for an IPv6 address (the peer's outs zeroed).
struct IAsynTcpSocket2 : IAsynTcpSocket {
    // Binds the socket, before Connect, to `address` (exactly `address_length`
    // bytes; "::" or "0.0.0.0" for any) and `port` (0: any). E_INVALIDARG for
    // text that is not an address; E_UNEXPECTED once bound or connecting;
    // E_FAIL when the socket cannot be made or bound (the socket stays unbound).
    virtual HRESULT ASYNFRAME_STDCALL Bind(DWORD address_length, const char* address, WORD port) = 0;  // slot 13
    // Local address as text through `address`, port in host order. E_INVALIDARG
    // when either is null; E_FAIL when unknown.
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) = 0;  // slot 14
    // Remote address as text, port in host order. E_INVALIDARG when either is
    // null; E_FAIL when unknown (port zeroed, nothing set).
    virtual HRESULT ASYNFRAME_STDCALL GetPeerAddressText(IStringSetter* address, WORD* port) = 0;  // slot 15

protected:
    ~IAsynTcpSocket2() = default;
};

// A UDP socket bound to any local address. Read completes with one datagram
// and its source (IAsynIoOperation::GetAddress); Write sends the range to the
// operation's address (IAsynIoOperation::SetAddress).
struct IAsynUdpSocket : IAsynIoDevice {
    // Binds to `port` (0: any). Broadcast is allowed; an ICMP port-unreachable
    // does not fail later receives. E_UNEXPECTED when already open; E_FAIL
    // when the socket cannot be bound.
    virtual HRESULT ASYNFRAME_STDCALL Open(WORD port) = 0;  // slot 8
    // Bound address and port; either out may be null. E_FAIL when unknown.
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) = 0;  // slot 9

protected:
    ~IAsynUdpSocket() = default;
};

// UDP socket whose open reports through an operation (it may involve a proxy
// exchange). The same object answers IAsynUdpSocket for direct sockets.
struct IAsynUdpSocket2 : IAsynIoDevice {
    // Binds to `address`:`port` and returns S_OK; the operation (not null)
    // completes with 0 or the bind error. E_UNEXPECTED when already open.
    virtual HRESULT ASYNFRAME_STDCALL Open(DWORD address, WORD port, IAsynIoOperation* operation) = 0;  // slot 8
    // Bound address and port (through a proxy: the relay's); either out may be
    // null. E_FAIL when unknown.
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) = 0;  // slot 9

protected:
    ~IAsynUdpSocket2() = default;
};

// UDP socket of either family. A socket opened on an IPv6 address ("::") sends
// to and receives from both families; one opened on IPv4 reaches IPv4 only
// (10047 for an IPv6 target). Datagrams of an IPv6 sender read through
// IAsynIoOperation::GetAddress give address 0: GetSourceAddress tells them.
// Through a SOCKS5 proxy the local socket is opened on the address given, and
// targets and senders of either family travel in the relay's header.
struct IAsynUdpSocket3 : IAsynUdpSocket2 {
    // Binds to `address` (exactly `address_length` bytes) and `port` (0: any)
    // and returns S_OK; the operation (not null) completes with 0 or the bind
    // error. E_INVALIDARG for text that is not an address; E_UNEXPECTED when
    // already open.
    virtual HRESULT ASYNFRAME_STDCALL OpenOn(DWORD address_length, const char* address, WORD port,
                                             IAsynIoOperation* operation) = 0;  // slot 10
    // Sends the operation's range as one datagram to `address` and `port`:
    // Write after setting the target. E_INVALIDARG for text that is not an
    // address; otherwise as Write.
    virtual HRESULT ASYNFRAME_STDCALL SendTo(IAsynIoOperation* operation, DWORD address_length, const char* address,
                                             WORD port) = 0;  // slot 11
    // The sender of the datagram the operation's last Read received (or the
    // target of its last send) as text, port in host order. E_INVALIDARG for a
    // null argument or an operation that is not the frame's; E_FAIL when the
    // operation carries no address.
    virtual HRESULT ASYNFRAME_STDCALL GetSourceAddress(IAsynIoOperation* operation, IStringSetter* address,
                                                       WORD* port) = 0;  // slot 12
    // Bound address (through a proxy: the relay's) as text, port in host
    // order. E_INVALIDARG when either is null; E_FAIL when unknown.
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) = 0;  // slot 13

protected:
    ~IAsynUdpSocket3() = default;
};

// A raw ICMP socket for echo requests; needs the privilege to open raw
// sockets. Write sends the range to the operation's address, Read receives
// one reply with its source.
struct IAsynIcmpSocket : IAsynIoDevice {
    // Creates the raw socket. E_UNEXPECTED when already open; E_FAIL when it
    // cannot be created.
    virtual HRESULT ASYNFRAME_STDCALL Open() = 0;  // slot 8
    // Time-to-live of outgoing packets (the low byte is used). E_UNEXPECTED
    // when not open; E_FAIL when refused.
    virtual HRESULT ASYNFRAME_STDCALL SetTtl(DWORD ttl) = 0;  // slot 9

protected:
    ~IAsynIcmpSocket() = default;
};

// A listening TCP socket. Not a device: it only hands out connections.
struct IAsynTcpListener : IUnknown {
    // Listens on `port` of every local address (0: any port); ListenOn with
    // address 0. Returns S_OK; the operation (not null) completes with 0 or
    // the bind/listen error.
    virtual HRESULT ASYNFRAME_STDCALL Listen(WORD port, IAsynIoOperation* operation) = 0;  // slot 3
    // Local address as dotted text through `address`, port in host order.
    // E_FAIL when unknown.
    virtual HRESULT ASYNFRAME_STDCALL GetLocalAddress(IStringSetter* address, WORD* port) = 0;  // slot 4
    // Accepts one connection: on success the operation's result object
    // (IAsynIoOperation::GetResultObject) is the new connection, to be queried
    // for IAsynTcpSocket; on failure it is null. E_UNEXPECTED when not
    // listening; E_INVALIDARG for an unusable operation.
    virtual HRESULT ASYNFRAME_STDCALL Accept(IAsynIoOperation* operation) = 0;  // slot 5
    // Stops listening. E_UNEXPECTED when not listening.
    virtual HRESULT ASYNFRAME_STDCALL Close() = 0;  // slot 6

protected:
    ~IAsynTcpListener() = default;
};

struct IAsynTcpListener2 : IAsynTcpListener {
    // Listens on `address` (network order; 0: any) and `port`. Returns S_OK;
    // the operation (not null) completes with 0 or the bind/listen error.
    // E_UNEXPECTED when already listening.
    virtual HRESULT ASYNFRAME_STDCALL ListenOn(DWORD address, WORD port, IAsynIoOperation* operation) = 0;  // slot 7

protected:
    ~IAsynTcpListener2() = default;
};

// Listener of either family; GetLocalAddress gives IPv6 text for an IPv6 one.
struct IAsynTcpListener3 : IAsynTcpListener2 {
    // Listens on `address` (exactly `address_length` bytes) and `port` (0:
    // any). "::" takes connections of both families (IPv6-only where the
    // system has no dual stack); "0.0.0.0" IPv4 ones. Returns S_OK; the
    // operation (not null) completes with 0 or the bind/listen error.
    // E_INVALIDARG for text that is not an address; E_UNEXPECTED when already
    // listening.
    virtual HRESULT ASYNFRAME_STDCALL ListenOnAddress(DWORD address_length, const char* address, WORD port,
                                                      IAsynIoOperation* operation) = 0;  // slot 8

protected:
    ~IAsynTcpListener3() = default;
};

}  // namespace asynframe

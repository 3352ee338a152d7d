// SOCKS5 client sockets and the proxy record of the frame's proxy check.
#pragma once

#include <cstddef>

#include "asynframe/com.h"
#include "asynframe/operation.h"
#include "asynframe/socket.h"

namespace asynframe {

// {7B5CF205-A4BD-4BE1-B461-75E804266504}
inline constexpr IID IID_IAsynProxyTcpSocket = {
    0x7B5CF205, 0xA4BD, 0x4BE1, {0xB4, 0x61, 0x75, 0xE8, 0x04, 0x26, 0x65, 0x04}};

// Proxy kinds (IAsynFrame::CreateProxyTcpSocket supports only SOCKS5).
inline constexpr DWORD PROXY_KIND_SOCKS5 = 1;
inline constexpr DWORD PROXY_KIND_HTTP = 2;
inline constexpr DWORD PROXY_KIND_FTP = 3;

// Answers of IAsynFrame::VerifyProxy.
inline constexpr LONG PROXY_VERIFY_OK = 0;           // the proxy works
inline constexpr LONG PROXY_VERIFY_UNREACHABLE = 1;  // cannot be reached, or the exchange failed
inline constexpr LONG PROXY_VERIFY_REFUSED = 2;      // credentials refused
inline constexpr LONG PROXY_VERIFY_CANCELLED = 3;    // the cancel event was set
inline constexpr LONG PROXY_VERIFY_OTHER = 4;        // any other failure
inline constexpr LONG PROXY_VERIFY_NOT_RUN = 255;    // no engine, or waiting failed

// The proxy described to IAsynFrame::VerifyProxy: caller memory of 788 bytes,
// little-endian, texts as counted bytes (not terminated). A kind other than
// 1 or 2 is checked as FTP and rewritten to 3 in the record.
struct tagPROXY_RECORD {
    DWORD kind;  // PROXY_KIND_*
    DWORD host_length;
    char host[256];
    WORD port;  // host order
    WORD padding;
    DWORD user_length;
    char user[256];
    DWORD password_length;
    char password[256];
};
using PROXY_RECORD = tagPROXY_RECORD;
static_assert(sizeof(tagPROXY_RECORD) == 788);
static_assert(offsetof(tagPROXY_RECORD, host) == 8);
static_assert(offsetof(tagPROXY_RECORD, port) == 264);
static_assert(offsetof(tagPROXY_RECORD, user_length) == 268);
static_assert(offsetof(tagPROXY_RECORD, password_length) == 528);
static_assert(offsetof(tagPROXY_RECORD, password) == 532);

// A TCP socket through a SOCKS5 proxy, configured at creation
// (IAsynFrame::CreateProxyTcpSocket). Connect asks the proxy to connect to the
// target; data then flows through the tunnel. GetLocalAddress and
// GetPeerAddress describe the connection to the proxy. Protocol failures
// complete the operation with 1928 (proxy refusal or malformed reply), 1929
// (socket failure) or 1930, or a Winsock code.
struct IAsynProxyTcpSocket : IAsynTcpSocket {
    // Connects to the proxy and authenticates, without a connect request, so
    // that the connection can carry another protocol. The operation completes
    // after authentication. E_UNEXPECTED when a connection was started and not
    // closed; E_INVALIDARG for an unusable operation.
    virtual HRESULT ASYNFRAME_STDCALL Login(IAsynIoOperation* operation) = 0;  // slot 13

protected:
    ~IAsynProxyTcpSocket() = default;
};

}  // namespace asynframe

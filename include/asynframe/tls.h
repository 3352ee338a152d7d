// TLS client connections over any TCP socket object.
#pragma once

#include "asynframe/com.h"
#include "asynframe/operation.h"
#include "asynframe/socket.h"
#include "asynframe/strings.h"

namespace asynframe {

// {4AAE589B-F8FA-489B-BD8E-AF018E0BC083}
inline constexpr IID IID_IAsynSSLSocket = {
    0x4AAE589B, 0xF8FA, 0x489B, {0xBD, 0x8E, 0xAF, 0x01, 0x8E, 0x0B, 0xC0, 0x83}};
// {F053AEFA-5B6D-416E-917F-9CA776DA8864}
inline constexpr IID IID_IAsynSSLSocket2 = {
    0xF053AEFA, 0x5B6D, 0x416E, {0x91, 0x7F, 0x9C, 0xA7, 0x76, 0xDA, 0x88, 0x64}};

// A TLS client over the inner socket given at creation
// (IAsynFrame::CreateSSLSocket). Connect connects the inner socket and runs
// the handshake before its operation completes; Read and Write move plaintext.
// Only one Read or Write may be outstanding at a time. Read and Write (slots 3
// and 4, and the whole-range ReadFully and WriteFully) return E_UNEXPECTED,
// and the operation does not complete, until the handshake has completed,
// after it failed, and after Close. Address and buffer slots go to the inner
// socket.
// Unless "ssl"/"verify_peer" is 0, the server's certificate must chain to a
// trusted CA and name the server: Connect checks the host it connects to.
struct IAsynSSLSocket : IAsynTcpSocket {
    // Runs the handshake over an inner socket that is already connected (for
    // example a proxy tunnel); the operation completes when it is done.
    // The name checked and sent as SNI is the one given through
    // IAsynSSLSocket2::SetServerName, else "ssl"/"expected_host"; with
    // neither, and verification on, the operation completes with 1930 and
    // nothing is sent (verification off: no name is needed).
    // E_FAIL when the handshake cannot be started (the operation then does
    // not complete); Close before starting another.
    virtual HRESULT ASYNFRAME_STDCALL Handshake(IAsynIoOperation* operation) = 0;  // slot 13

protected:
    ~IAsynSSLSocket() = default;
};

// The TLS socket told which server it talks to, for a handshake over a
// connected socket, where it has no host of its own, and asked why it failed;
// reached by QueryInterface on the socket.
struct IAsynSSLSocket2 : IAsynSSLSocket {
    // The server's name (or dotted IPv4 address), exactly `name_length`
    // bytes, that Handshake checks the certificate against and sends as SNI
    // (a name only); it takes precedence over "ssl"/"expected_host". It is
    // kept across Close; length 0 forgets it. Connect does not use it.
    // Dispatch thread (E_ACCESSDENIED elsewhere). E_UNEXPECTED from Connect or
    // Handshake until Close, the handshake having started with the name it
    // had; E_INVALIDARG for a null name with a length, a zero byte in it, or
    // more than 255 bytes.
    virtual HRESULT ASYNFRAME_STDCALL SetServerName(DWORD name_length, const char* name) = 0;  // slot 14
    // Hands `text` the message of the socket's last failure, with the TLS
    // library's reason (for example "certificate verify failed: hostname
    // mismatch"); empty when nothing failed. Dispatch thread (E_ACCESSDENIED
    // elsewhere); E_INVALIDARG for a null setter.
    virtual HRESULT ASYNFRAME_STDCALL GetFailureText(IStringSetter* text) = 0;  // slot 15

protected:
    ~IAsynSSLSocket2() = default;
};

}  // namespace asynframe

// TLS client connections over any TCP socket object.
#pragma once

#include "asynframe/com.h"
#include "asynframe/operation.h"
#include "asynframe/socket.h"

namespace asynframe {

// {4AAE589B-F8FA-489B-BD8E-AF018E0BC083}
inline constexpr IID IID_IAsynSSLSocket = {
    0x4AAE589B, 0xF8FA, 0x489B, {0xBD, 0x8E, 0xAF, 0x01, 0x8E, 0x0B, 0xC0, 0x83}};

// A TLS client over the inner socket given at creation
// (IAsynFrame::CreateSSLSocket). Connect connects the inner socket and runs
// the handshake before its operation completes; Read and Write move plaintext.
// Only one Read or Write may be outstanding at a time, and none before the
// handshake has completed. Address and buffer slots go to the inner socket.
struct IAsynSSLSocket : IAsynTcpSocket {
    // Runs the handshake over an inner socket that is already connected (for
    // example a proxy tunnel); the operation completes when it is done.
    // E_FAIL when the handshake cannot be started (the operation then does
    // not complete); Close before starting another.
    virtual HRESULT ASYNFRAME_STDCALL Handshake(IAsynIoOperation* operation) = 0;  // slot 13

protected:
    ~IAsynSSLSocket() = default;
};

}  // namespace asynframe

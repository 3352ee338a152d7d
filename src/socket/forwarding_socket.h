// The IAsynTcpSocket slots a socket wrapper (SOCKS5, rate limit) passes
// unchanged to the socket it wraps. `Base` holds the wrapper's faces
// (com_interfaces<...>); `Derived` names the wrapped socket through
// inner_socket(), and overrides whatever it does differently. Without a
// wrapped socket the slots answer E_UNEXPECTED.
#pragma once

#include "asynframe/socket.h"

namespace asynframe {

template <class Derived, class Base>
class forwarding_tcp_socket : public Base {
public:
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->Read(operation) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->Write(operation) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->ReadFully(operation) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->WriteFully(operation) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL GetLocalAddress(DWORD* address, WORD* port) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->GetLocalAddress(address, port) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL GetPeerAddress(DWORD* address, WORD* port) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->GetPeerAddress(address, port) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL SetRecvTimeout(DWORD milliseconds) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->SetRecvTimeout(milliseconds) : E_UNEXPECTED;
    }
    HRESULT ASYNFRAME_STDCALL SetRecvBufferSize(DWORD bytes) override {
        IAsynTcpSocket* inner = inner_of();
        return inner != nullptr ? inner->SetRecvBufferSize(bytes) : E_UNEXPECTED;
    }

protected:
    forwarding_tcp_socket() = default;
    ~forwarding_tcp_socket() = default;

private:
    IAsynTcpSocket* inner_of() const noexcept { return static_cast<const Derived*>(this)->inner_socket(); }
};

}  // namespace asynframe

// The IAsynTcpSocket and IAsynTcpSocket2 slots a socket wrapper (SOCKS5, rate
// limit) passes unchanged to the socket it wraps. `Base` holds the wrapper's
// faces (com_interfaces<...>, IAsynTcpSocket2 among them); `Derived` names the
// wrapped socket through inner_socket(), and overrides whatever it does
// differently. Without a wrapped socket the slots answer E_UNEXPECTED; the
// text slots answer E_NOTIMPL when the wrapped socket has no text face (a
// host's own socket object).
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

    HRESULT ASYNFRAME_STDCALL Bind(DWORD address_length, const char* address, WORD port) override {
        return with_text_face([&](IAsynTcpSocket2* inner) { return inner->Bind(address_length, address, port); });
    }
    HRESULT ASYNFRAME_STDCALL GetLocalAddressText(IStringSetter* address, WORD* port) override {
        return with_text_face([&](IAsynTcpSocket2* inner) { return inner->GetLocalAddressText(address, port); });
    }
    HRESULT ASYNFRAME_STDCALL GetPeerAddressText(IStringSetter* address, WORD* port) override {
        return with_text_face([&](IAsynTcpSocket2* inner) { return inner->GetPeerAddressText(address, port); });
    }

protected:
    forwarding_tcp_socket() = default;
    ~forwarding_tcp_socket() = default;

private:
    IAsynTcpSocket* inner_of() const noexcept { return static_cast<const Derived*>(this)->inner_socket(); }

    template <class Call>
    HRESULT with_text_face(Call call) const {
        IAsynTcpSocket* inner = inner_of();
        if (inner == nullptr) return E_UNEXPECTED;
        IAsynTcpSocket2* text = nullptr;
        if (FAILED(inner->QueryInterface(IID_IAsynTcpSocket2, reinterpret_cast<void**>(&text))) || text == nullptr)
            return E_NOTIMPL;
        const HRESULT result = call(text);
        text->Release();
        return result;
    }
};

}  // namespace asynframe

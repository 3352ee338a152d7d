// The resolver's component faces: CAsynDns resolves a name on a caller's
// operation, which completes on the dispatch thread carrying a
// CAsynDnsResult with the name and its addresses.
#pragma once

#include <string>
#include <vector>

#include "asynframe/dns.h"
#include "component/asyn_io_operation_object.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "engine/singleton.h"

namespace asynframe {

struct dns_request;

class CAsynDnsResult final : public com_interfaces<CAsynDnsResult, IAsynDnsResult3>, public CUnknownMultiThread {
public:
    explicit CAsynDnsResult(std::string host);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynDnsResult3>,
                                       interface_entry<IID_IAsynDnsResult, IAsynDnsResult3>,
                                       interface_entry<IID_IAsynDnsResult2, IAsynDnsResult3>,
                                       interface_entry<IID_IAsynDnsResult3, IAsynDnsResult3>>;

    HRESULT ASYNFRAME_STDCALL GetHostName(IStringSetter* name) override;
    HRESULT ASYNFRAME_STDCALL GetResult(LONG* code, DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL GetAddress(DWORD index, DWORD* address) override;
    HRESULT ASYNFRAME_STDCALL GetSource(DWORD* source) override;
    HRESULT ASYNFRAME_STDCALL GetAddressCount(DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL GetAddressText(DWORD index, IStringSetter* text, DWORD* family) override;

    // Framework side.
    void set_code(LONG code) noexcept { _code = code; }
    std::vector<std::string>& addresses() noexcept { return _addresses; }
    std::vector<std::string>& addresses6() noexcept { return _addresses6; }
    void attach(dns_request* request) noexcept { _request = request; }

private:
    // A request still pending is taken out of the request list first, and its
    // operation completes with 995: it would otherwise never complete.
    ~CAsynDnsResult() override;
    // The addresses are the resolver's until the request completes.
    bool settled() const noexcept;

    LONG _code = 0;
    std::string _host;
    std::vector<std::string> _addresses;   // IPv4
    std::vector<std::string> _addresses6;  // IPv6
    dns_request* _request = nullptr;
};

class CAsynDns final : public com_interfaces<CAsynDns, IAsynDns, CAsynIoOperationLayer>,
                       public with_singleton,
                       public CUnknownMultiThread {
public:
    explicit CAsynDns(singleton_instance* services);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynDns>, interface_entry<IID_IAsynDns, IAsynDns>>;

    HRESULT ASYNFRAME_STDCALL Resolve(IAsynIoOperation* operation, DWORD name_length, const char* name) override;

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override;

private:
    ~CAsynDns() override = default;
};

}  // namespace asynframe

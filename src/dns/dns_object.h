// The resolver's component faces: CAsynDns resolves a name on a caller's
// operation, which completes on the dispatch thread carrying a
// CAsynDnsResult with the name and its addresses.
#pragma once

#include <string>
#include <vector>

#include "asynframe/dns.h"
#include "component/asyn_io_operation_object.h"
#include "component/unknown_base.h"
#include "engine/singleton.h"

namespace asynframe {

struct dns_request;

class CAsynDnsResult final : public IAsynDnsResult2, public CUnknownMultiThread {
public:
    explicit CAsynDnsResult(std::string host);

    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override;
    ULONG ASYNFRAME_STDCALL AddRef() override { return internal_add_ref(); }
    ULONG ASYNFRAME_STDCALL Release() override { return internal_release(); }

    HRESULT ASYNFRAME_STDCALL GetHostName(IStringSetter* name) override;
    HRESULT ASYNFRAME_STDCALL GetResult(LONG* code, DWORD* count) override;
    HRESULT ASYNFRAME_STDCALL GetAddress(DWORD index, DWORD* address) override;
    HRESULT ASYNFRAME_STDCALL GetSource(DWORD* source) override;

    // Framework side.
    void set_code(LONG code) noexcept { _code = code; }
    std::vector<std::string>& addresses() noexcept { return _addresses; }
    void attach(dns_request* request) noexcept { _request = request; }

private:
    // A request still pending is taken out of the request list first, and its
    // operation completes with 995: it would otherwise never complete.
    ~CAsynDnsResult() override;
    // The addresses are the resolver's until the request completes.
    bool settled() const noexcept;

    LONG _code = 0;
    std::string _host;
    std::vector<std::string> _addresses;
    dns_request* _request = nullptr;
};

class CAsynDns final : public IAsynDns,
                       public CAsynIoOperationLayer,
                       public with_singleton,
                       public CUnknownMultiThread {
public:
    explicit CAsynDns(singleton_instance* services);

    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override;
    ULONG ASYNFRAME_STDCALL AddRef() override { return internal_add_ref(); }
    ULONG ASYNFRAME_STDCALL Release() override { return internal_release(); }

    HRESULT ASYNFRAME_STDCALL Resolve(IAsynIoOperation* operation, DWORD name_length, const char* name) override;

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override;

private:
    ~CAsynDns() override = default;
};

}  // namespace asynframe

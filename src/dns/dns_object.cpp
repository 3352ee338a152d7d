#include "dns/dns_object.h"

#include <new>

#include "dns/dns_request.h"
#include "dns/dns_service.h"
#include "dns/dns_state.h"
#include "dns/ip_parser.h"
#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "platform/socket.h"

namespace asynframe {

namespace {
static_assert(static_cast<DWORD>(dns_source::literal) == DNS_SOURCE_LITERAL &&
              static_cast<DWORD>(dns_source::hosts_file) == DNS_SOURCE_HOSTS_FILE &&
              static_cast<DWORD>(dns_source::cache) == DNS_SOURCE_CACHE &&
              static_cast<DWORD>(dns_source::dns_server) == DNS_SOURCE_DNS_SERVER &&
              static_cast<DWORD>(dns_source::system) == DNS_SOURCE_SYSTEM &&
              static_cast<DWORD>(dns_source::last_good) == DNS_SOURCE_LAST_GOOD);
constexpr std::int32_t operation_type_resolve = 201;
}  // namespace

// ---- CAsynDnsResult ----------------------------------------------------------------

CAsynDnsResult::CAsynDnsResult(std::string host) : CUnknownMultiThread("CAsynDnsResult"), _host(std::move(host)) {}

CAsynDnsResult::~CAsynDnsResult() {
    if (_request == nullptr) return;
    if (cancel_request(_request)) {
        asyn_io_operation* operation = _request->operation;
        operation->set_preset_result(errors::operation_aborted, 0);
        if (!operation->post()) dns_detail::abandon_unposted(operation);
    }
    _request->name.clear();
    delete _request;
}

bool CAsynDnsResult::settled() const noexcept { return _request == nullptr || !_request->pending(); }

HRESULT CAsynDnsResult::GetHostName(IStringSetter* name) {
    if (name == nullptr) return E_INVALIDARG;
    name->SetString(static_cast<UINT>(_host.size()), _host.data());
    return S_OK;
}

HRESULT CAsynDnsResult::GetResult(LONG* code, DWORD* count) {
    if (code != nullptr) *code = _code;
    if (count != nullptr) *count = settled() ? static_cast<DWORD>(_addresses.size()) : 0;
    return S_OK;
}

HRESULT CAsynDnsResult::GetAddress(DWORD index, DWORD* address) {
    if (address == nullptr || !settled() || index >= _addresses.size()) return E_INVALIDARG;
    std::uint32_t value = 0;
    // A text the classic conversion rejects gives its INADDR_NONE.
    *address = inet_addr_value(_addresses[index], value) ? platform::host_to_net32(value) : 0xFFFFFFFFu;
    return S_OK;
}

HRESULT CAsynDnsResult::GetSource(DWORD* source) {
    if (source == nullptr) return E_INVALIDARG;
    const bool any = !_addresses.empty() || !_addresses6.empty();
    *source = settled() && _request != nullptr && any ? static_cast<DWORD>(_request->source) : DNS_SOURCE_NONE;
    return S_OK;
}

HRESULT CAsynDnsResult::GetAddressCount(DWORD* count) {
    if (count == nullptr) return E_INVALIDARG;
    *count = settled() ? static_cast<DWORD>(_addresses.size() + _addresses6.size()) : 0;
    return S_OK;
}

HRESULT CAsynDnsResult::GetAddressText(DWORD index, IStringSetter* text, DWORD* family) {
    if (text == nullptr || !settled() || index >= _addresses.size() + _addresses6.size()) return E_INVALIDARG;
    const bool six = index >= _addresses.size();
    std::string address = six ? _addresses6[index - _addresses.size()] : _addresses[index];
    std::uint32_t value = 0;
    if (!six && inet_addr_value(address, value)) address = ipv4_text(value);  // "127.1" is 127.0.0.1
    text->SetString(static_cast<UINT>(address.size()), address.data());
    if (family != nullptr) *family = six ? 6 : 4;
    return S_OK;
}

// ---- CAsynDns ----------------------------------------------------------------------

CAsynDns::CAsynDns(singleton_instance* services) : with_singleton(services), CUnknownMultiThread("CAsynDns") {}

HRESULT CAsynDns::Resolve(IAsynIoOperation* operation, DWORD name_length, const char* name) {
    if (_singleton == nullptr || _singleton->asyn_io_manager_ptr == nullptr ||
        !_singleton->asyn_io_manager_ptr->in_dispatch_thread())
        return E_ACCESSDENIED;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->engine_operation() == nullptr || object->busy()) return E_INVALIDARG;
    if (name_length == 0 || name == nullptr) return E_INVALIDARG;

    CAsynDnsResult* result = nullptr;
    dns_request* request = nullptr;
    try {
        result = new CAsynDnsResult(std::string(name, name_length));
        request = new dns_request(std::string(name, name_length), -1, &result->addresses(), object->engine_operation(),
                                  &result->addresses6());
        const std::uint32_t context[7] = {};
        object->push_layer(this, context);
    } catch (const std::bad_alloc&) {
        delete request;
        if (result != nullptr) result->Release();
        return E_OUTOFMEMORY;
    }
    object->AddRef();  // the request's reference, released with its completion
    asyn_io_operation* engine_operation = object->engine_operation();
    engine_operation->set_operation_type(operation_type_resolve);
    engine_operation->set_preset_result(0, 0);
    engine_operation->mark_pending();
    result->attach(request);
    object->SetResultObject(result);
    result->Release();  // the operation keeps it
    submit_request(request);
    return S_OK;
}

void CAsynDns::on_layer_complete(CAsynIoOperation* operation, layer_entry) {
    DWORD error = 0;
    operation->GetResult(&error, nullptr);
    if (error == 0) {
        IUnknown* held = nullptr;
        operation->GetResultObject(&held);
        if (held != nullptr) {
            IAsynDnsResult* face = nullptr;
            if (held->QueryInterface(IID_IAsynDnsResult, reinterpret_cast<void**>(&face)) == S_OK) {
                if (auto* ours = dynamic_cast<CAsynDnsResult*>(face)) ours->set_code(0);
                face->Release();
            }
            held->Release();
        }
    }
    operation->deliver();
}

}  // namespace asynframe

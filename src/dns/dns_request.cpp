#include "dns/dns_request.h"

#include "dns/dns_state.h"
#include "dns/host_db.h"
#include "engine/asyn_io_operation.h"
#include "platform/dns.h"

namespace asynframe {

void dns_request::complete(std::int32_t code) {
    host_db& db = host_db::instance();
    try {
        // May turn a failure into success with the addresses of an earlier one.
        const std::int32_t asked = code;
        db.apply_last_good(name, code, *addresses);
        if (asked != dns_result_ok && code == dns_result_ok) source = dns_source::last_good;
        if (code != dns_result_ok && code != dns_result_recent_failure) db.record_failure(name);
    } catch (...) {
        // The file is a convenience: the caller still gets the outcome.
    }
    if (code != dns_result_ok) source = dns_source::none;
    asyn_io_operation* const engine_operation = operation;
    const platform::native_handle caller_event = event;
    if (engine_operation != nullptr) {
        engine_operation->set_preset_result(static_cast<std::uint32_t>(code), 0);
        result_code.store(code, std::memory_order_release);
        if (!engine_operation->post()) dns_detail::abandon_unposted(engine_operation);
        return;
    }
    // Once the code shows, the caller may release the request: nothing of it
    // is read after the store.
    result_code.store(code, std::memory_order_release);
    platform::dns::set_caller_event(caller_event);
}

}  // namespace asynframe

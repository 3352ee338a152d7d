#include "dns/dns_request.h"

#include "dns/dns_state.h"
#include "dns/host_db.h"
#include "engine/asyn_io_operation.h"
#include "platform/dns.h"

namespace asynframe {

void dns_request::complete(std::int32_t code) {
    if (code != dns_result_ok) {
        addresses->clear();
        if (addresses6 != nullptr) addresses6->clear();
        v4.answered = v6.answered = false;
    }
    host_db& db = host_db::instance();
    try {
        // A family that found nothing may take the addresses of an earlier
        // success; one that did stores them.
        if (db.last_good_family(name, 4, addresses->empty() && !v4.answered, *addresses))
            v4.from = dns_source::last_good;
        if (addresses6 != nullptr && db.last_good_family(name, 6, addresses6->empty() && !v6.answered, *addresses6))
            v6.from = dns_source::last_good;
        if (!addresses->empty() || (addresses6 != nullptr && !addresses6->empty()))
            code = dns_result_ok;
        else if (code == dns_result_ok)
            code = dns_result_failed;
        if (code != dns_result_ok && code != dns_result_recent_failure) db.record_failure(name);
    } catch (...) {
        // The file is a convenience: the caller still gets the outcome.
    }
    if (!addresses->empty())
        source = v4.from;
    else if (addresses6 != nullptr && !addresses6->empty())
        source = v6.from;
    else
        source = dns_source::none;
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

// Hostile replies: the decoder must stay inside the datagram and end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dns/dns_package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65535) return 0;  // a UDP datagram is never larger
    asynframe::adns_answer answer(data, static_cast<std::uint32_t>(size));
    if (!answer.valid && !answer.records.empty()) std::abort();
    for (const asynframe::rrecord& record : answer.records) {
        if (record.rr_class != 1) std::abort();
        if (record.address.size() > 15) std::abort();
        if (!record.address.empty() && record.type != 1) std::abort();
    }
    return 0;
}

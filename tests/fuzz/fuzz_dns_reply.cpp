// Hostile replies: the decoder must stay inside the datagram, end, and give
// back no more than the bounded names the datagram can carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dns/dns_package.h"
#include "dns/ip_parser.h"

namespace {

// The dotted text of a name is shorter than its wire octets (a trailing dot
// left by a pointer to the root at most makes up for the final zero).
void check_name(const std::string& name) {
    if (name.size() >= asynframe::adns_answer::max_name_octets) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65535) return 0;  // a UDP datagram is never larger
    asynframe::adns_answer answer(data, static_cast<std::uint32_t>(size));
    if (!answer.valid && !answer.records.empty()) std::abort();
    check_name(answer.question_name);
    std::size_t text = answer.question_name.size();
    for (const asynframe::rrecord& record : answer.records) {
        if (record.rr_class != 1) std::abort();
        // An A record gives a dotted address; an AAAA record the RFC 5952
        // text, at most eight groups of four, that reads back as itself.
        if (record.type == 1 && record.address.size() > 15) std::abort();
        if (record.type == 28 && !record.address.empty() &&
            (record.address.size() > 39 || asynframe::canonical_ipv6(record.address) != record.address))
            std::abort();
        if (!record.address.empty() && record.type != 1 && record.type != 28) std::abort();
        if ((record.ttl & 0x80000000u) != 0) std::abort();
        check_name(record.name);
        check_name(record.cname);
        text += record.name.size() + record.cname.size() + record.address.size();
    }
    // The densest reply repeats a 14-byte CNAME record whose owner and target
    // are pointers to a longest name: two 254-byte texts per 14 bytes.
    if (text > 40 * size) std::abort();
    return 0;
}

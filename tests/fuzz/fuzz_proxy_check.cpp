// Hostile answers to the HTTP proxy check: the verdict must not depend on how
// the answer was cut into reads, and the status line parser must stay inside
// the bytes it is given. (The SOCKS check reads only SOCKS5 replies, and the
// FTP check reads nothing but the connect's result.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "asynframe/proxy.h"
#include "proxy/http_check.h"

namespace {

using asynframe::LONG;
using asynframe::PROXY_VERIFY_OK;
using asynframe::PROXY_VERIFY_OTHER;
using asynframe::PROXY_VERIFY_REFUSED;

// The verifier's own buffer, and a small one that fills up quickly.
constexpr std::uint32_t limits[] = {8192, 64};

bool known_verdict(LONG code) {
    return code == PROXY_VERIFY_OK || code == PROXY_VERIFY_REFUSED || code == PROXY_VERIFY_OTHER;
}

// The answer arriving in reads of the sizes the first byte picks, each no
// more than the room left, as the verifier reads it.
std::optional<LONG> in_reads(std::string_view answer, std::uint32_t limit, std::uint8_t seed) {
    std::size_t received = 0;
    std::uint32_t state = seed * 2654435761u + 1;
    while (received < answer.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t room = limit - received;
        std::size_t read = 1 + (state >> 16) % 97;
        if (read > room) read = room;
        if (read > answer.size() - received) read = answer.size() - received;
        received += read;
        const std::optional<LONG> code = asynframe::http_check_answer(answer.substr(0, received), limit);
        if (code) return code;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t seed = data[0];
    // A copy of exactly the input's size, so a read past it is caught.
    const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);

    const int status = asynframe::http_status_code(answer);
    if (status < -1 || status > 999) std::abort();
    if (status >= 0 && answer.compare(0, 5, "HTTP/") != 0) std::abort();
    if (!known_verdict(asynframe::http_check_result(answer))) std::abort();

    for (const std::uint32_t limit : limits) {
        const std::string_view held = std::string_view(answer).substr(0, limit);
        const std::size_t end = held.find("\r\n\r\n");
        std::optional<LONG> expected;
        if (end != std::string_view::npos)
            expected = asynframe::http_check_result(held.substr(0, end + 4));
        else if (held.size() >= limit)
            expected = PROXY_VERIFY_OTHER;
        const std::optional<LONG> got = in_reads(held, limit, seed);
        if (got != expected) std::abort();
        if (got && !known_verdict(*got)) std::abort();
    }

    // The answer's first line taken as the URL the check asks for.
    const std::string url = answer.substr(0, answer.find('\n'));
    const std::string host = asynframe::http_url_host(url);
    if (!host.empty() && (url.compare(7, host.size(), host) != 0 || host.find_first_of("/?#") != std::string::npos))
        std::abort();
    return 0;
}

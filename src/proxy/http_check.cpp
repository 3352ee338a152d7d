#include "proxy/http_check.h"

#include <cctype>

#include "asynframe/proxy.h"

namespace asynframe {

std::string http_url_host(const std::string& url) {
    constexpr std::string_view scheme = "http://";
    if (url.size() <= scheme.size() || url.compare(0, scheme.size(), scheme) != 0) return {};
    const std::size_t end = url.find_first_of("/?#", scheme.size());
    return url.substr(scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
}

int http_status_code(std::string_view response) {
    constexpr std::string_view prefix = "HTTP/";
    if (response.substr(0, prefix.size()) != prefix) return -1;
    // The version: digits and one dot ("1.1", "1.0", "2").
    std::size_t at = prefix.size();
    const std::size_t version_start = at;
    while (at < response.size() && (std::isdigit(static_cast<unsigned char>(response[at])) || response[at] == '.'))
        ++at;
    if (at == version_start || at >= response.size() || response[at] != ' ') return -1;
    while (at < response.size() && response[at] == ' ') ++at;
    if (response.size() - at < 3) return -1;
    int status = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const char digit = response[at + i];
        if (!std::isdigit(static_cast<unsigned char>(digit))) return -1;
        status = status * 10 + (digit - '0');
    }
    at += 3;
    // Three digits exactly, then the reason or the end of the line.
    if (at < response.size() && response[at] != ' ' && response[at] != '\r') return -1;
    return status;
}

LONG http_check_result(std::string_view response) {
    const int status = http_status_code(response);
    if (status == 407) return PROXY_VERIFY_REFUSED;
    if (status >= 200 && status < 400) return PROXY_VERIFY_OK;
    // An error status of the proxy or the site, or not HTTP at all.
    return PROXY_VERIFY_OTHER;
}

std::optional<LONG> http_check_answer(std::string_view received, std::uint32_t limit) {
    if (received.find("\r\n\r\n") != std::string_view::npos) return http_check_result(received);
    // A header that fills the whole buffer leaves no room to read on.
    if (received.size() >= limit) return PROXY_VERIFY_OTHER;
    return std::nullopt;
}

}  // namespace asynframe

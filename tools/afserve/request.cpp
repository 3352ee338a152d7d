#include "afserve/request.h"

#include <http_parser.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace asynframe::tools {
namespace {

bool token_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

request_route refuse(int status, bool keep, std::string extra = {}) {
    request_route route;
    route.status = status;
    route.keep = keep;
    route.extra = std::move(extra);
    return route;
}

}  // namespace

bool known_method(const std::string& method) {
    for (const char* each : {"POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"})
        if (method == each) return true;
    return false;
}

bool starts_with_method(const std::string& head) {
    std::size_t at = 0;
    while (at < head.size() && token_char(head[at])) ++at;
    return at > 0 && at < head.size() && head[at] == ' ';
}

int refused_head_status(const message_parser& request, const std::string& head_start) {
    if (request.error() != http_errno_description(HPE_INVALID_METHOD)) return 400;
    if (starts_with_method(head_start)) return 501;
    // A read that ended inside the token: the same head sent in one piece
    // would be told by the byte after it.
    const bool open_token = std::all_of(head_start.begin(), head_start.end(), token_char);
    return open_token && head_start.size() < head_start_size ? 0 : 400;
}

request_route route_request(const message_parser& request) {
    const bool keep_alive = request.keep_alive();
    const std::string& method = request.method();
    if (request.http_major() != 1 || request.http_minor() > 1) return refuse(505, false);
    if (method != "GET" && method != "HEAD") {
        if (known_method(method)) return refuse(405, keep_alive, "Allow: GET, HEAD\r\n");
        return refuse(501, keep_alive);
    }
    // HTTP/1.1 requires exactly one Host (repeated ones arrive joined by a comma).
    if (request.http_minor() == 1 &&
        (!request.has_header("Host") || request.header("Host").find(',') != std::string::npos))
        return refuse(400, false);
    std::string target = request.target();
    // The absolute form a proxy-minded client sends: only its path counts.
    const std::size_t scheme_end = target.find("://");
    if (scheme_end != std::string::npos && target[0] != '/') {
        std::string scheme = target.substr(0, scheme_end);
        for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (scheme != "http" && scheme != "https") return refuse(400, false);
        const std::size_t path_at = target.find_first_of("/?", scheme_end + 3);
        target = path_at == std::string::npos ? "/" : target.substr(path_at);
        if (target[0] == '?') target = "/" + target;
    }
    request_route route;
    const std::size_t query_at = target.find('?');
    route.raw_path = target.substr(0, query_at);
    route.query = query_at == std::string::npos ? std::string() : target.substr(query_at);
    if (route.raw_path.empty() || route.raw_path[0] != '/' || !percent_decode(route.raw_path, route.path) ||
        route.path.find('\0') != std::string::npos)
        return refuse(400, false);
    // No segment may climb out of the served folder.
    for (std::size_t at = 0; at != std::string::npos;) {
        const std::size_t next = route.path.find('/', at + 1);
        const std::string_view segment(route.path.data() + at + 1,
                                       (next == std::string::npos ? route.path.size() : next) - at - 1);
        if (segment == "..") return refuse(403, keep_alive);
        at = next;
    }
    return route;
}

}  // namespace asynframe::tools

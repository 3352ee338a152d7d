#include "common/http.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace asynframe::tools {
namespace {

// ASCII only: names, schemes and hosts are ASCII, and the C locale's
// tolower is a call per character.
char lower_char(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), lower_char);
    return text;
}

// Looks `name` up lower-cased; names of common length without an allocation.
template <typename Use>
decltype(auto) with_lower(std::string_view name, Use use) {
    char small[64];
    if (name.size() <= sizeof small) {
        std::transform(name.begin(), name.end(), small, lower_char);
        return use(std::string_view(small, name.size()));
    }
    const std::string lowered = lower(std::string(name));
    return use(std::string_view(lowered));
}

std::uint16_t default_port(const std::string& scheme) {
    if (scheme == "http") return 80;
    if (scheme == "https") return 443;
    if (scheme == "socks5") return 1080;
    return 0;
}

// Digits only, no sign, no overflow.
bool parse_decimal(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    out = value;
    return true;
}

std::string trim(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string url::authority_host() const {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string url::origin() const {
    std::string text = scheme + "://" + authority_host();
    if (port != default_port(scheme)) text += ":" + std::to_string(port);
    return text;
}

bool percent_decode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

std::optional<url> parse_url(const std::string& original, const std::string& schemes, std::string& why) {
    // The parser takes letters only in a scheme ("socks5" has a digit), so it
    // reads the rest after a stand-in of the same length.
    std::string text = original;
    const std::size_t scheme_end = text.find("://");
    std::string scheme = lower(text.substr(0, scheme_end == std::string::npos ? 0 : scheme_end));
    if (scheme_end != std::string::npos)
        for (std::size_t i = 0; i < scheme_end; ++i) text[i] = 'x';
    http_parser_url parts;
    http_parser_url_init(&parts);
    if (text.empty() || scheme.empty() || http_parser_parse_url(text.data(), text.size(), 0, &parts) != 0) {
        std::uint64_t port = 0;
        const std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
        const std::string host_port = original.substr(authority, original.find('/', authority) - authority);
        const std::size_t colon = host_port.rfind(':');
        if (colon != std::string::npos && parse_decimal(host_port.substr(colon + 1), port) && port > 65535)
            why = "port out of range in '" + original + "' (1 to 65535)";
        else
            why = "malformed URL '" + original + "'";
        return std::nullopt;
    }
    auto field = [&](int which) {
        if ((parts.field_set & (1u << which)) == 0) return std::string();
        return text.substr(parts.field_data[which].off, parts.field_data[which].len);
    };
    url out;
    out.scheme = scheme;
    out.host = lower(field(UF_HOST));
    if (out.scheme.empty() || out.host.empty()) {
        why = "malformed URL '" + original + "' (scheme://host[:port]/path expected)";
        return std::nullopt;
    }
    if (("," + schemes + ",").find("," + out.scheme + ",") == std::string::npos) {
        why = "unsupported scheme '" + out.scheme + "' in '" + original + "' (" + schemes + ")";
        return std::nullopt;
    }
    out.port = default_port(out.scheme);
    if ((parts.field_set & (1u << UF_PORT)) != 0) {
        std::uint64_t port = 0;
        if (!parse_decimal(field(UF_PORT), port) || port == 0 || port > 65535) {
            why = "port out of range in '" + original + "' (1 to 65535)";
            return std::nullopt;
        }
        out.port = static_cast<std::uint16_t>(port);
    } else {
        // The parser rejects ports above 65535 outright; a colon with no
        // digits is caught here.
        const std::size_t host_end = parts.field_data[UF_HOST].off + parts.field_data[UF_HOST].len;
        if (host_end < text.size() && text[host_end] == ':') {
            why = "port out of range in '" + original + "' (1 to 65535)";
            return std::nullopt;
        }
    }
    const std::string path = field(UF_PATH);
    out.target = path.empty() ? "/" : path;
    if ((parts.field_set & (1u << UF_QUERY)) != 0) out.target += "?" + field(UF_QUERY);
    const std::string user_info = field(UF_USERINFO);
    if (!user_info.empty()) {
        const std::size_t colon = user_info.find(':');
        if (!percent_decode(user_info.substr(0, colon), out.user) ||
            (colon != std::string::npos && !percent_decode(user_info.substr(colon + 1), out.password))) {
            why = "malformed user name or password in '" + original + "'";
            return std::nullopt;
        }
    }
    return out;
}

std::string remove_dot_segments(const std::string& path) {
    std::string input = path, output;
    while (!input.empty()) {
        if (input.rfind("../", 0) == 0) {
            input.erase(0, 3);
        } else if (input.rfind("./", 0) == 0) {
            input.erase(0, 2);
        } else if (input.rfind("/./", 0) == 0) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.rfind("/../", 0) == 0 || input == "/..") {
            input = input.size() == 3 ? std::string("/") : input.substr(3);
            const std::size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            const std::size_t next = input.find('/', 1);
            output += input.substr(0, next);
            input.erase(0, next == std::string::npos ? input.size() : next);
        }
    }
    return output;
}

std::optional<url> resolve_location(const url& base, const std::string& original) {
    std::string why;
    const std::string location = trim(original.substr(0, original.find('#')));
    if (original.empty()) return std::nullopt;
    // A scheme is letters, digits, "+", "-" and "." before the first ":",
    // with no "/", "?" ahead of it.
    const std::size_t colon = location.find(':');
    const bool has_scheme = colon != std::string::npos && colon > 0 &&
                            std::isalpha(static_cast<unsigned char>(location[0])) &&
                            location.find_first_not_of(
                                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon;
    std::optional<url> out;
    if (has_scheme) {
        out = parse_url(location, "http,https", why);
    } else if (location.rfind("//", 0) == 0) {
        out = parse_url(base.scheme + ":" + location, "http,https", why);
    } else {
        out = base;
        const std::string base_path = base.target.substr(0, base.target.find('?'));
        const std::size_t question = location.find('?');
        const std::string path = location.substr(0, question);
        const std::string query = question == std::string::npos ? std::string() : location.substr(question);
        if (path.empty()) {
            out->target = base_path + (question == std::string::npos ? base.target.substr(base_path.size()) : query);
            return out;
        }
        out->target = (path[0] == '/' ? path : base_path.substr(0, base_path.rfind('/') + 1) + path) + query;
    }
    if (!out) return out;
    const std::size_t question = out->target.find('?');
    std::string path = remove_dot_segments(out->target.substr(0, question));
    if (path.empty() || path[0] != '/') path.insert(0, "/");
    out->target = path + (question == std::string::npos ? std::string() : out->target.substr(question));
    return out;
}

std::string base64_encode(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned value = (static_cast<unsigned char>(bytes[i]) << 16) |
                               (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(value >> shift) & 63];
    }
    if (i < bytes.size()) {
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(value >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// ---- messages ----------------------------------------------------------------------------

message_parser::message_parser(kind which) : _kind(which) {
    http_parser_settings_init(&_settings);
    _settings.on_url = &message_parser::on_url;
    _settings.on_header_field = &message_parser::on_header_field;
    _settings.on_header_value = &message_parser::on_header_value;
    _settings.on_headers_complete = &message_parser::on_headers_complete;
    _settings.on_body = &message_parser::on_body_bytes;
    _settings.on_message_complete = &message_parser::on_message_complete;
    http_parser_init(&_parser, _kind == kind::request ? HTTP_REQUEST : HTTP_RESPONSE);
    _parser.data = this;
    next_message();
}

void message_parser::next_message(bool no_body) {
    // The parser keeps its place in the stream; only a paused one is resumed.
    if (HTTP_PARSER_ERRNO(&_parser) == HPE_PAUSED) http_parser_pause(&_parser, 0);
    _no_body = no_body;
    _headers_complete = _complete = _in_value = false;
    _status = 0;
    _method.clear();
    _target.clear();
    _keep_alive = false;
    _content_length.reset();
    _field.clear();
    _headers.clear();
}

std::size_t message_parser::feed(const char* data, std::size_t size) {
    if (_complete || failed()) return 0;
    const std::size_t used = http_parser_execute(&_parser, &_settings, data, size);
    const auto error = static_cast<http_errno>(HTTP_PARSER_ERRNO(&_parser));
    if (error != HPE_OK && error != HPE_PAUSED) _error = http_errno_description(error);
    return used;
}

bool message_parser::end_of_input() {
    if (_complete) return true;
    if (failed()) return false;
    // An empty feed tells the parser the stream ended; only a body that runs
    // to the close completes that way.
    http_parser_execute(&_parser, &_settings, nullptr, 0);
    if (!_complete && _error.empty()) _error = "the connection closed before the message was complete";
    return _complete;
}

const std::string& message_parser::header(std::string_view name) const {
    static const std::string absent;
    return with_lower(name, [this](std::string_view key) -> const std::string& {
        const auto found = _headers.find(key);
        return found == _headers.end() ? absent : found->second;
    });
}

bool message_parser::has_header(std::string_view name) const {
    return with_lower(name, [this](std::string_view key) { return _headers.find(key) != _headers.end(); });
}

int message_parser::on_url(http_parser* parser, const char* at, std::size_t length) {
    static_cast<message_parser*>(parser->data)->_target.append(at, length);
    return 0;
}

int message_parser::on_header_field(http_parser* parser, const char* at, std::size_t length) {
    auto* self = static_cast<message_parser*>(parser->data);
    // Trailers after a chunked body are not kept: the head's headers are
    // read once it is over, and a trailer cut short by a failure would count
    // or not depending on how the reads fell.
    if (self->_headers_complete) return 0;
    if (self->_in_value) {
        self->_field.clear();
        self->_in_value = false;
    }
    self->_field.append(at, length);
    return 0;
}

int message_parser::on_header_value(http_parser* parser, const char* at, std::size_t length) {
    auto* self = static_cast<message_parser*>(parser->data);
    if (self->_headers_complete) return 0;  // a trailer
    if (!self->_in_value) std::transform(self->_field.begin(), self->_field.end(), self->_field.begin(), lower_char);
    std::string& value = self->_headers[self->_field];
    // A repeated field continues with a comma, as HTTP folds them.
    if (!self->_in_value && !value.empty()) value += ", ";
    self->_in_value = true;
    value.append(at, length);
    return 0;
}

int message_parser::on_headers_complete(http_parser* parser) {
    auto* self = static_cast<message_parser*>(parser->data);
    for (auto& [name, value] : self->_headers) value = trim(value);
    self->_headers_complete = true;
    self->_status = static_cast<int>(parser->status_code);
    if (self->_kind == kind::request) self->_method = http_method_str(static_cast<http_method>(parser->method));
    self->_keep_alive = http_should_keep_alive(parser) != 0;
    if ((parser->flags & F_CONTENTLENGTH) != 0) self->_content_length = parser->content_length;
    // 1: the answer to HEAD has no body whatever its headers say.
    return self->_no_body ? 1 : 0;
}

int message_parser::on_body_bytes(http_parser* parser, const char* at, std::size_t length) {
    auto* self = static_cast<message_parser*>(parser->data);
    if (self->on_body) self->on_body(at, length);
    return 0;
}

int message_parser::on_message_complete(http_parser* parser) {
    auto* self = static_cast<message_parser*>(parser->data);
    self->_complete = true;
    http_parser_pause(parser, 1);
    return 0;
}

// ---- ranges and amounts ------------------------------------------------------------------

range_answer parse_range(const std::string& header, std::uint64_t size, byte_range& out) {
    const std::string text = trim(header);
    if (lower(text.substr(0, 6)) != "bytes=") return range_answer::none;
    const std::string wanted = trim(text.substr(6));
    // Several ranges would need a multipart answer; the whole body is as valid.
    if (wanted.find(',') != std::string::npos) return range_answer::none;
    const std::size_t dash = wanted.find('-');
    if (dash == std::string::npos) return range_answer::none;
    const std::string first = trim(wanted.substr(0, dash)), last = trim(wanted.substr(dash + 1));
    std::uint64_t a = 0, b = 0;
    if (first.empty()) {
        if (!parse_decimal(last, b)) return range_answer::none;
        if (b == 0 || size == 0) return range_answer::unsatisfiable;
        out.first = b >= size ? 0 : size - b;
        out.last = size - 1;
        return range_answer::ok;
    }
    if (!parse_decimal(first, a)) return range_answer::none;
    if (last.empty()) {
        b = size == 0 ? 0 : size - 1;
    } else if (!parse_decimal(last, b) || b < a) {
        return range_answer::none;
    }
    if (a >= size) return range_answer::unsatisfiable;
    out.first = a;
    out.last = std::min(b, size - 1);
    return range_answer::ok;
}

bool parse_content_range(const std::string& header, std::uint64_t& first, std::uint64_t& last,
                         std::uint64_t& total) {
    const std::string text = trim(header);
    if (lower(text.substr(0, 6)) != "bytes ") return false;
    const std::string wanted = trim(text.substr(6));
    const std::size_t dash = wanted.find('-'), slash = wanted.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
    return parse_decimal(wanted.substr(0, dash), first) &&
           parse_decimal(wanted.substr(dash + 1, slash - dash - 1), last) &&
           parse_decimal(wanted.substr(slash + 1), total) && first <= last && last < total;
}

bool parse_amount(const std::string& text, std::uint64_t& out) {
    if (text.empty()) return false;
    std::string digits = text;
    std::uint64_t scale = 1;
    switch (std::tolower(static_cast<unsigned char>(digits.back()))) {
    case 'k': scale = 1024; break;
    case 'm': scale = 1024 * 1024; break;
    case 'g': scale = 1024ull * 1024 * 1024; break;
    default: break;
    }
    if (scale != 1) digits.pop_back();
    std::uint64_t value = 0;
    if (!parse_decimal(digits, value) || value > (~0ull) / scale) return false;
    out = value * scale;
    return true;
}

std::string human_bytes(double bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace asynframe::tools

// URLs and HTTP/1.1 messages for the tools, over the http_parser library.
#pragma once

#include <http_parser.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace asynframe::tools {

struct url {
    std::string scheme;  // "http", "https", "socks5", lower case
    std::string host;    // an IPv6 address without its brackets
    std::uint16_t port = 0;
    std::string target = "/";  // path and query, as sent in a request line
    std::string user;
    std::string password;

    // host as it stands in a URL or a Host header: an IPv6 address in brackets.
    std::string authority_host() const;
    // scheme://host[:port]: the origin, for messages.
    std::string origin() const;
    std::string text() const { return origin() + target; }
};

// Parses an absolute URL of one of the `schemes` (comma-separated). The port
// defaults by scheme; out of 1..65535 is malformed. nullopt when malformed,
// with `why` saying what.
std::optional<url> parse_url(const std::string& text, const std::string& schemes, std::string& why);
// `location` (absolute, scheme-relative, absolute path, query or relative
// path) against `base` by the URL reference rules: merged paths lose their
// "." and ".." segments; a fragment is dropped.
std::optional<url> resolve_location(const url& base, const std::string& location);
// A path with its "." and ".." segments worked out ("/a/b/../c" -> "/a/c").
std::string remove_dot_segments(const std::string& path);
// Standard base64 with padding, for Basic credentials.
std::string base64_encode(const std::string& bytes);

// Decodes %XX escapes; false on a broken escape.
bool percent_decode(const std::string& text, std::string& out);

// One HTTP/1.1 message at a time, request or response. Body bytes go to
// `on_body` as they are parsed; after a message is complete the parser stops
// until next_message(), so pipelined bytes wait for their turn.
class message_parser {
public:
    enum class kind { request, response };
    explicit message_parser(kind which);

    // A new message; `no_body` for the answer to a HEAD request.
    void next_message(bool no_body = false);
    // Parses up to `size` bytes and returns how many were used; fewer when the
    // message ended (complete()) or on a failure (failed()).
    std::size_t feed(const char* data, std::size_t size);
    // The connection ended: true when that completes the message (a body
    // delimited by the close), false when the message was cut short.
    bool end_of_input();

    bool headers_complete() const noexcept { return _headers_complete; }
    bool complete() const noexcept { return _complete; }
    bool failed() const noexcept { return !_error.empty(); }
    const std::string& error() const noexcept { return _error; }

    int status() const noexcept { return _status; }
    const std::string& method() const noexcept { return _method; }
    const std::string& target() const noexcept { return _target; }
    bool keep_alive() const noexcept { return _keep_alive; }
    // The message's HTTP version, once its first line is parsed.
    int http_major() const noexcept { return static_cast<int>(_parser.http_major); }
    int http_minor() const noexcept { return static_cast<int>(_parser.http_minor); }
    // Content-Length, when the message has one.
    std::optional<std::uint64_t> content_length() const noexcept { return _content_length; }
    // The header's value (names match without regard to case); empty when absent.
    const std::string& header(std::string_view name) const;
    bool has_header(std::string_view name) const;

    std::function<void(const char* data, std::size_t size)> on_body;

private:
    static int on_url(http_parser* parser, const char* at, std::size_t length);
    static int on_header_field(http_parser* parser, const char* at, std::size_t length);
    static int on_header_value(http_parser* parser, const char* at, std::size_t length);
    static int on_headers_complete(http_parser* parser);
    static int on_body_bytes(http_parser* parser, const char* at, std::size_t length);
    static int on_message_complete(http_parser* parser);

    kind _kind;
    http_parser _parser{};
    http_parser_settings _settings{};
    bool _no_body = false;
    bool _headers_complete = false;
    bool _complete = false;
    bool _in_value = false;
    std::string _error;
    int _status = 0;
    std::string _method;
    std::string _target;
    bool _keep_alive = false;
    std::optional<std::uint64_t> _content_length;
    std::string _field;
    std::map<std::string, std::string, std::less<>> _headers;  // lower-case names
};

// "bytes=A-B", "bytes=A-" and "bytes=-N" against a body of `size` bytes:
// the first and last byte. nullopt when the header is not one of those
// single-range forms or is not satisfiable.
struct byte_range {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};
enum class range_answer { none, ok, unsatisfiable };
range_answer parse_range(const std::string& header, std::uint64_t size, byte_range& out);

// "Content-Range: bytes A-B/T": first, last and total; false when malformed.
bool parse_content_range(const std::string& header, std::uint64_t& first, std::uint64_t& last,
                         std::uint64_t& total);

// Parses a decimal count with an optional k/M/G suffix (powers of 1024), for
// rates and sizes on the command line; false when it is not one.
bool parse_amount(const std::string& text, std::uint64_t& out);

// "12.3 MiB" and the like.
std::string human_bytes(double bytes);

}  // namespace asynframe::tools

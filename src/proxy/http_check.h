// What the HTTP proxy check reads of the proxy's answer. Pure text work, apart
// from the verifier, so that it can be driven with any bytes at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "asynframe/com.h"

namespace asynframe {

// The Host header's value of an absolute http:// URL (host and any port), or empty.
std::string http_url_host(const std::string& url);
// The status of an HTTP response's status line ("HTTP/1.1 407 ..." gives 407),
// or -1 when the response does not start with one.
int http_status_code(std::string_view response);
// The HTTP check's verdict on a response header: 407 refused, 2xx and 3xx
// working, anything else (another status, or no HTTP) another failure.
LONG http_check_result(std::string_view response);
// The verdict on the `received` bytes of the answer so far, read into a
// buffer of `limit` bytes; nullopt while the header is not over and the
// buffer still has room.
std::optional<LONG> http_check_answer(std::string_view received, std::uint32_t limit);

}  // namespace asynframe

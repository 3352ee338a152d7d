// What afserve makes of a request head before it looks at a file: the
// status a refused head gets, and the path a parsed one asks for. Apart from
// the connection, so that any head at all can be put to it.
#pragma once

#include <cstddef>
#include <string>

#include "common/http.h"

namespace asynframe::tools {

// Methods HTTP defines that a file server knows but does not allow; any
// other is not implemented at all.
bool known_method(const std::string& method);
// The start of a head: a method-like token and a space, so that a method the
// parser does not know is told apart from bytes that are not HTTP at all.
bool starts_with_method(const std::string& head);
// How many of a head's first bytes are kept to judge a refused one by.
inline constexpr std::size_t head_start_size = 32;
// The answer to a head the parser refused, whose first bytes (at most
// head_start_size) were `head_start`: 501 for a method it does not know, 400
// for anything else, 0 while the bytes so far end inside the method and the
// next ones tell which.
int refused_head_status(const message_parser& request, const std::string& head_start);

// Where a complete request leads.
struct request_route {
    int status = 0;     // 0: the file at `path`; otherwise the error to answer
    bool keep = false;  // the error answer leaves the connection open
    std::string extra;  // header lines the error answer carries
    std::string raw_path, query;  // as the target has them
    std::string path;             // decoded, under the served folder
};
request_route route_request(const message_parser& request);

}  // namespace asynframe::tools

// Hostile clients of afserve: request heads in reads of any sizes, pipelined
// as a connection takes them, each routed to a path, then its conditional
// headers and its range put to a file. A routed path must stay under the
// served folder, and a range inside the file.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "afserve/files.h"
#include "afserve/request.h"
#include "common/http.h"

namespace {

using namespace asynframe::tools;

void check_path(const request_route& route) {
    if (route.raw_path.empty() || route.raw_path[0] != '/') std::abort();
    if (route.path.empty() || route.path[0] != '/') std::abort();
    if (route.path.find('\0') != std::string::npos) std::abort();
    if (!route.query.empty() && route.query[0] != '?') std::abort();
    const std::string padded = route.path + "/";
    if (padded.find("/../") != std::string::npos) std::abort();
}

void check_range(const std::string& header, std::uint64_t size) {
    byte_range range;
    switch (parse_range(header, size, range)) {
    case range_answer::ok:
        if (range.first > range.last || range.last >= size) std::abort();
        break;
    case range_answer::unsatisfiable:
    case range_answer::none: break;
    }
}

void check_file(const message_parser& request) {
    struct stat about{};
    about.st_mtime = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    about.st_size = 1000;
    const validators current(about);
    const std::string range = request.header("Range");
    const conditions asked{request.header("If-Match"), request.header("If-None-Match"),
                           request.header("If-Modified-Since"), request.header("If-Unmodified-Since"),
                           request.header("If-Range"), !range.empty()};
    const condition_answer decided = evaluate(asked, current);
    // A 304 or 412 needs a condition that asked for it.
    if ((decided == condition_answer::not_modified &&
         asked.if_none_match.empty() && asked.if_modified_since.empty()) ||
        (decided == condition_answer::failed && asked.if_match.empty() && asked.if_unmodified_since.empty()) ||
        (decided == condition_answer::whole && (asked.if_range.empty() || range.empty())))
        std::abort();
    for (const std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1000}, ~std::uint64_t{0}})
        check_range(range, size);
}

// The requests of one connection as afserve takes them, read in pieces of at
// most `most` bytes (0: all at once): what each was routed to, and how the
// connection ended.
std::string serve(const char* stream, std::size_t length, std::uint32_t state, std::size_t most, bool check) {
    message_parser request(message_parser::kind::request);
    std::string input, head_start, seen;
    std::size_t at = 0;
    // What the parser leaves waits for the next request; a refused head ends
    // the connection.
    for (int requests = 0; requests < 64; ++requests) {
        while (!request.complete()) {
            if (!request.headers_complete() && head_start.size() < head_start_size)
                head_start += input.substr(0, head_start_size - head_start.size());
            // An empty feed would tell the parser the connection ended.
            const std::size_t used = input.empty() ? 0 : request.feed(input.data(), input.size());
            if (used > input.size()) std::abort();
            input.erase(0, used);
            if (request.failed()) {
                const int status = refused_head_status(request, head_start);
                if (status != 0 && status != 400 && status != 501) std::abort();
                if (status != 0) return seen + std::to_string(status);
                input.clear();
            }
            if (request.complete() || at >= length) break;
            state = state * 1103515245u + 12345u;
            std::size_t read = most == 0 ? length : 1 + (state >> 16) % most;
            if (read > length - at) read = length - at;
            input.append(stream + at, read);
            at += read;
        }
        if (!request.complete()) return seen + "waits";
        const request_route route = route_request(request);
        seen += std::to_string(route.status) + " " + std::to_string(route.keep) + " " + route.path + " " +
                route.query + " " + request.header("Range") + "\n";
        switch (route.status) {
        case 0:
            if (check) {
                check_path(route);
                check_file(request);
            }
            break;
        case 400: case 403: case 405: case 501: case 505: break;
        default: std::abort();
        }
        if (!request.keep_alive()) return seen + "closed";
        request.next_message();
        head_start.clear();
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint32_t state = data[0] * 2654435761u + 7;
    const char* stream = reinterpret_cast<const char*>(data) + 1;
    // How the requests were cut into reads changes nothing of the answers.
    if (serve(stream, size - 1, state, 200, true) != serve(stream, size - 1, state, 0, false)) std::abort();
    return 0;
}

// Hostile answers to afget: the message parser over reads of any sizes, then
// what afget takes from the head (validator, Content-Range, Location, the
// verdict on a range answer). Nothing may be read past the input, no body
// byte may come before the head or beyond the input, and a HEAD answer has
// no body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "afget/answer.h"
#include "common/http.h"

namespace {

using asynframe::tools::message_parser;
using asynframe::tools::piece_answer;

void check_location(const std::string& location) {
    std::string why;
    const std::optional<asynframe::tools::url> base =
        asynframe::tools::parse_url("http://files.test:8080/dir/sub/file.bin?x=1", "http,https", why);
    if (!base) std::abort();
    const std::optional<asynframe::tools::url> next = asynframe::tools::resolve_location(*base, location);
    if (!next) return;
    if (next->scheme != "http" && next->scheme != "https") std::abort();
    if (next->host.empty() || next->port == 0) std::abort();
    // The next request line is made of it: a path, no climbing segment.
    const std::string path = next->target.substr(0, next->target.find('?'));
    if (path.empty() || path[0] != '/') std::abort();
    if (path.find("/../") != std::string::npos || path.find("/./") != std::string::npos) std::abort();
    if (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0) std::abort();
}

void check_piece(const message_parser& answer, std::uint64_t first, std::uint64_t last, std::uint64_t size,
                 const std::string& if_range) {
    const piece_answer judged = judge_piece_answer(answer, first, last, size, if_range, "http://files.test/f");
    switch (judged.what) {
    case piece_answer::verdict::take:
        // Never told to drop more than lies before the first byte asked for.
        if (judged.skip > first) std::abort();
        if (answer.status() != 200 && answer.status() != 206) std::abort();
        break;
    case piece_answer::verdict::protocol:
        if (judged.why.empty() || answer.status() != 206) std::abort();
        break;
    case piece_answer::verdict::changed:
    case piece_answer::verdict::status: break;
    }
}

// What a reader of the answer sees of it, read in pieces of at most `most`
// bytes (0: all at once), as afget feeds its reads.
std::string read_answer(const char* stream, std::size_t length, bool head_only, std::uint32_t state,
                        std::size_t most) {
    message_parser answer(message_parser::kind::response);
    answer.next_message(head_only);
    std::string body;
    answer.on_body = [&](const char* at, std::size_t count) { body.append(at, count); };
    std::size_t at = 0;
    while (at < length && !answer.complete() && !answer.failed()) {
        state = state * 1103515245u + 12345u;
        std::size_t read = most == 0 ? length : 1 + (state >> 16) % most;
        if (read > length - at) read = length - at;
        answer.feed(stream + at, read);
        at += read;
    }
    if (!answer.complete() && !answer.failed()) answer.end_of_input();
    std::string seen = std::to_string(answer.complete()) + std::to_string(answer.failed()) +
                       std::to_string(answer.headers_complete()) + " " + std::to_string(answer.status()) + " " +
                       std::to_string(answer.content_length().value_or(~0ull)) + "\n";
    // Headers count once the head is over; a head cut by a failure is never read.
    if (answer.headers_complete())
        for (const char* name : {"Content-Range", "Location", "ETag", "Last-Modified", "Accept-Ranges", "X-Long"})
            seen += answer.header(name) + "\n";
    return seen + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool head_only = (data[0] & 1) != 0;
    std::uint32_t state = data[1] * 2654435761u + data[0];
    const char* stream = reinterpret_cast<const char*>(data) + 2;
    const std::size_t length = size - 2;

    message_parser answer(message_parser::kind::response);
    answer.next_message(head_only);
    std::uint64_t body = 0;
    std::uint32_t sum = 0;
    answer.on_body = [&](const char* at, std::size_t count) {
        if (!answer.headers_complete()) std::abort();
        if (at < stream || at + count > stream + length) std::abort();
        for (std::size_t i = 0; i < count; ++i) sum += static_cast<unsigned char>(at[i]);
        body += count;
    };
    // As afget reads: each read fed whole, until the answer is complete or broken.
    std::size_t at = 0;
    while (at < length && !answer.complete() && !answer.failed()) {
        state = state * 1103515245u + 12345u;
        std::size_t read = 1 + (state >> 16) % 300;
        if (read > length - at) read = length - at;
        const std::size_t used = answer.feed(stream + at, read);
        if (used > read) std::abort();
        at += read;
    }
    if (!answer.complete() && !answer.failed()) answer.end_of_input();
    if (answer.complete() && answer.feed(stream, length) != 0) std::abort();
    if (body > length || (head_only && body != 0)) std::abort();
    if (answer.failed() && answer.error().empty()) std::abort();
    if (sum == 0xFFFFFFFFu) std::abort();  // keeps the reads of the body
    // How the answer was cut into reads changes nothing of it.
    if (read_answer(stream, length, head_only, 0, 0) != read_answer(stream, length, head_only, state, 7)) std::abort();
    if (!answer.headers_complete()) return 0;

    const std::optional<std::uint64_t> declared = answer.content_length();
    if (declared && !answer.has_header("Transfer-Encoding") && body > *declared) std::abort();

    const std::string validator = asynframe::tools::validator_of(answer);
    if (validator.rfind("W/", 0) == 0 && validator != answer.header("Last-Modified")) std::abort();

    std::uint64_t first = 0, last = 0, total = 0;
    if (asynframe::tools::parse_content_range(answer.header("Content-Range"), first, last, total)) {
        if (first > last || last >= total) std::abort();
        check_piece(answer, first, last, total, validator);
        check_piece(answer, last, last, total, {});
    }
    check_piece(answer, 0, 999, 1000, {});
    check_piece(answer, 500, 999, declared.value_or(1000), "\"v1\"");
    check_location(answer.header("Location"));

    return 0;
}

#include "afget/answer.h"

namespace asynframe::tools {

std::string validator_of(const message_parser& answer) {
    const std::string tag = answer.header("ETag");
    if (!tag.empty() && tag.rfind("W/", 0) != 0) return tag;
    return answer.header("Last-Modified");
}

piece_answer judge_piece_answer(const message_parser& answer, std::uint64_t first, std::uint64_t last,
                                std::uint64_t size, const std::string& if_range, const std::string& url_text) {
    using verdict = piece_answer::verdict;
    const int status = answer.status();
    if (status == 206) {
        std::uint64_t a = 0, b = 0, total = 0;
        if (!parse_content_range(answer.header("Content-Range"), a, b, total))
            return {verdict::protocol, 0, "a 206 answer without a usable Content-Range from " + url_text};
        if (total != size) return {verdict::changed, 0, {}};
        if (a > first || b < first)
            return {verdict::protocol, 0,
                    "the server answered bytes " + std::to_string(a) + "-" + std::to_string(b) + " when asked for " +
                        std::to_string(first) + "-" + std::to_string(last)};
        // Bytes before the ones asked for are dropped; fewer than asked for
        // are continued from where they stop.
        return {verdict::take, first - a, {}};
    }
    if (status == 200) {
        // A whole answer to If-Range: the file is another one now, unless it
        // is the same and ranges were ignored.
        if ((!if_range.empty() && validator_of(answer) != if_range) ||
            (answer.content_length() && *answer.content_length() != size))
            return {verdict::changed, 0, {}};
        return {verdict::take, first, {}};
    }
    if (status == 416) return {verdict::changed, 0, {}};
    return {verdict::status, 0, {}};
}

}  // namespace asynframe::tools

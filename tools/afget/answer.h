// What afget makes of an answer's head, apart from the connections, so that
// any head at all can be put to it.
#pragma once

#include <cstdint>
#include <string>

#include "common/http.h"

namespace asynframe::tools {

// If-Range takes a strong validator only: an ETag that is not weak, else the
// date.
std::string validator_of(const message_parser& answer);

// The head of the answer to a request for bytes `first`..`last` of a file of
// `size` bytes, asked for with `if_range` (empty: none).
struct piece_answer {
    enum class verdict {
        take,       // the body holds the bytes, after `skip` others
        changed,    // the file is another one now
        protocol,   // a broken answer; `why` says how
        status,     // a status that is no answer to a range request
    };
    verdict what = verdict::status;
    std::uint64_t skip = 0;
    std::string why;
};
piece_answer judge_piece_answer(const message_parser& answer, std::uint64_t first, std::uint64_t last,
                                std::uint64_t size, const std::string& if_range, const std::string& url_text);

}  // namespace asynframe::tools

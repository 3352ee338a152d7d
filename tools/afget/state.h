// The record beside FILE.part that lets a later run resume: the file's size,
// the server's validator, and how far each range has come.
//
// Text, one item a line:
//   afget-state-2 SIZE
//   validator TEXT        (the ETag as the server sent it, else its
//                          Last-Modified; absent when it sent neither)
//   START END DONE        (one line a range: bytes START to END-1, of which
//                          the first DONE are in the file)
// Records of the first format ("afget-state-1 SIZE" and the range lines) have
// no validator; they are resumed when their ranges check out, and the file is
// taken to be the one the server has now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace asynframe::tools {

struct piece {
    std::uint64_t start = 0;
    std::uint64_t end = 0;      // one past the last byte
    std::uint64_t written = 0;  // bytes on disk from start on
    std::uint64_t left() const { return end - start - written; }
};

struct download_state {
    std::uint64_t size = 0;
    std::string validator;
    std::vector<piece> pieces;
};

// Reads `path`. nullopt when there is none; otherwise the record, or nullopt
// with `why` saying what is wrong with it (ranges that do not tile 0..size
// exactly, a broken line).
std::optional<download_state> load_state(const std::string& path, std::string& why);
// Writes a temporary file and renames it over `path`, so a reader (or a
// crash) sees the old record or the new one, never half of one.
bool save_state(const std::string& path, const download_state& state);

}  // namespace asynframe::tools

// What afserve decides about a file before sending a byte: its type, its
// validators, the answer the request's conditions call for, and the listing
// of a folder.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace asynframe::tools {

// The media type of a file by its extension: /etc/mime.types (read once)
// where it names one, a built-in table otherwise.
std::string content_type(const std::filesystem::path& path);

// "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date(std::time_t when);
// The three date forms HTTP allows; nullopt for anything else.
std::optional<std::time_t> parse_http_date(const std::string& text);
// [10/Oct/2000:13:55:36 +0200], local time, as access logs have it.
std::string log_date(std::time_t when);

// The validators of one file, from its status.
struct validators {
    std::string etag;  // quoted; modification time and size, as nginx forms it
    std::time_t modified = 0;
    explicit validators(const struct stat& about);
};

// What the request's conditions leave to do.
enum class condition_answer {
    proceed,        // serve as asked (a Range included)
    whole,          // serve all of it: If-Range named another version
    not_modified,   // 304
    failed,         // 412
};

// The conditional headers of a GET or HEAD, each empty when absent.
struct conditions {
    std::string if_match, if_none_match, if_modified_since, if_unmodified_since, if_range;
    bool has_range = false;
};
condition_answer evaluate(const conditions& asked, const validators& current);

// An HTML page listing `folder` (names starting with a dot left out), whose
// links are relative to `shown`, the request's path.
std::string folder_listing(const std::filesystem::path& folder, const std::string& shown);

// Percent-encodes what may not stand in a path segment.
std::string percent_encode(const std::string& text);
std::string html_escape(const std::string& text);

// True when `file`, its links followed, still lies inside `root` (a resolved path).
bool inside_root(const std::filesystem::path& file, const std::filesystem::path& root);

}  // namespace asynframe::tools

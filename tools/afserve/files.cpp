#include "afserve/files.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace asynframe::tools {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

using type_table = std::map<std::string, std::string>;

// What a browser needs right even where the system has no table.
const type_table& built_in_types() {
    static const type_table types = {
        {"html", "text/html"},          {"htm", "text/html"},
        {"txt", "text/plain"},          {"css", "text/css"},
        {"js", "text/javascript"},      {"mjs", "text/javascript"},
        {"json", "application/json"},   {"map", "application/json"},
        {"xml", "application/xml"},     {"wasm", "application/wasm"},
        {"pdf", "application/pdf"},     {"zip", "application/zip"},
        {"gz", "application/gzip"},     {"tar", "application/x-tar"},
        {"png", "image/png"},           {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},         {"gif", "image/gif"},
        {"webp", "image/webp"},         {"avif", "image/avif"},
        {"svg", "image/svg+xml"},       {"ico", "image/vnd.microsoft.icon"},
        {"woff", "font/woff"},          {"woff2", "font/woff2"},
        {"ttf", "font/ttf"},            {"otf", "font/otf"},
        {"mp3", "audio/mpeg"},          {"ogg", "audio/ogg"},
        {"wav", "audio/wav"},           {"mp4", "video/mp4"},
        {"webm", "video/webm"},         {"md", "text/markdown"},
        {"csv", "text/csv"},            {"webmanifest", "application/manifest+json"}};
    return types;
}

type_table system_types() {
    type_table types;
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string type, extension;
        if (!(words >> type)) continue;
        // The first line naming an extension wins, as the file's readers agree.
        while (words >> extension) types.emplace(lower(extension), type);
    }
    return types;
}

struct entity_tag {
    bool weak = false;
    std::string opaque;  // with its quotes
};

// An If-Match or If-None-Match list; "*" is handled by the caller. A broken
// list yields the tags before the break.
std::vector<entity_tag> parse_tags(const std::string& text) {
    std::vector<entity_tag> tags;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == ',')) ++at;
        if (at >= text.size()) break;
        entity_tag tag;
        if (text.compare(at, 2, "W/") == 0) {
            tag.weak = true;
            at += 2;
        }
        if (at >= text.size() || text[at] != '"') break;
        const std::size_t close = text.find('"', at + 1);
        if (close == std::string::npos) break;
        tag.opaque = text.substr(at, close - at + 1);
        tags.push_back(std::move(tag));
        at = close + 1;
    }
    return tags;
}

bool any_matches(const std::string& list, const std::string& current, bool strong) {
    if (trim(list) == "*") return true;
    for (const entity_tag& tag : parse_tags(list))
        if (tag.opaque == current && !(strong && tag.weak)) return true;
    return false;
}

}  // namespace

std::string content_type(const std::filesystem::path& path) {
    static const type_table from_system = system_types();
    std::string extension = path.extension().string();
    if (extension.empty()) return "application/octet-stream";
    extension = lower(extension.substr(1));
    if (const auto found = from_system.find(extension); found != from_system.end()) return found->second;
    const type_table& fallback = built_in_types();
    const auto found = fallback.find(extension);
    return found == fallback.end() ? "application/octet-stream" : found->second;
}

std::string http_date(std::time_t when) {
    char text[64];
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    // Day and month names in English whatever the locale.
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday], parts.tm_mday,
                  months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::optional<std::time_t> parse_http_date(const std::string& text) {
    const std::string value = trim(text);
    // The preferred form, the obsolete RFC 850 one and asctime's.
    for (const char* format : {"%a, %d %b %Y %H:%M:%S GMT", "%A, %d-%b-%y %H:%M:%S GMT", "%a %b %e %H:%M:%S %Y"}) {
        std::tm parts{};
        const char* end = ::strptime(value.c_str(), format, &parts);
        if (end == nullptr || *end != '\0') continue;
        return ::timegm(&parts);
    }
    return std::nullopt;
}

std::string log_date(std::time_t when) {
    std::tm parts{};
    ::localtime_r(&when, &parts);
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = parts.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]", parts.tm_mday,
                  months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

validators::validators(const struct stat& about) : modified(about.st_mtime) {
    char text[64];
    std::snprintf(text, sizeof text, "\"%llx-%llx\"", static_cast<unsigned long long>(about.st_mtime),
                  static_cast<unsigned long long>(about.st_size));
    etag = text;
}

condition_answer evaluate(const conditions& asked, const validators& current) {
    // Preconditions first, each pair's date ignored when its tag is given.
    if (!asked.if_match.empty()) {
        if (!any_matches(asked.if_match, current.etag, true)) return condition_answer::failed;
    } else if (!asked.if_unmodified_since.empty()) {
        const auto since = parse_http_date(asked.if_unmodified_since);
        if (since && current.modified > *since) return condition_answer::failed;
    }
    if (!asked.if_none_match.empty()) {
        if (any_matches(asked.if_none_match, current.etag, false)) return condition_answer::not_modified;
    } else if (!asked.if_modified_since.empty()) {
        const auto since = parse_http_date(asked.if_modified_since);
        if (since && current.modified <= *since) return condition_answer::not_modified;
    }
    if (asked.has_range && !asked.if_range.empty()) {
        const std::string validator = trim(asked.if_range);
        // A weak tag never names the same bytes; a date only when it is the
        // file's own.
        if (validator.rfind("W/", 0) == 0) return condition_answer::whole;
        if (validator.front() == '"') return validator == current.etag ? condition_answer::proceed : condition_answer::whole;
        const auto date = parse_http_date(validator);
        return date && *date == current.modified ? condition_answer::proceed : condition_answer::whole;
    }
    return condition_answer::proceed;
}

std::string percent_encode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || std::strchr("-._~!$&'()*+,;=:@", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string html_escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string folder_listing(const std::filesystem::path& folder, const std::string& shown) {
    std::vector<std::pair<std::string, bool>> entries;
    std::error_code failed;
    for (const auto& entry : std::filesystem::directory_iterator(folder, failed)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code ignored;
        entries.emplace_back(name, entry.is_directory(ignored));
    }
    std::sort(entries.begin(), entries.end());
    const std::string title = "Index of " + html_escape(shown);
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                       "</title></head>\n<body><h1>" + title + "</h1>\n<ul>\n";
    if (shown != "/") page += "<li><a href=\"../\">../</a></li>\n";
    for (const auto& [name, is_folder] : entries) {
        const std::string suffix = is_folder ? "/" : "";
        page += "<li><a href=\"" + percent_encode(name) + suffix + "\">" + html_escape(name) + suffix + "</a></li>\n";
    }
    page += "</ul></body></html>\n";
    return page;
}

bool inside_root(const std::filesystem::path& file, const std::filesystem::path& root) {
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(file, failed);
    if (failed) return false;
    const std::string base = root.string();
    const std::string path = real.string();
    if (path == base) return true;
    return path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
           (base.back() == '/' || path[base.size()] == '/');
}

}  // namespace asynframe::tools

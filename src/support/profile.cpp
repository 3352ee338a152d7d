#include "support/profile.h"

#include <mutex>
#include <vector>

#include "platform/fs.h"

namespace asynframe::profile {
namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// One physical line: its text without the line end, and the line end itself.
struct line {
    std::string_view text;
    std::string_view end;  // "\n", "\r\n" or empty for a last line without one
};

std::vector<line> split_lines(std::string_view content) {
    std::vector<line> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t nl = content.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back({content.substr(start), {}});
            break;
        }
        std::size_t text_end = nl;
        if (text_end > start && content[text_end - 1] == '\r') --text_end;
        lines.push_back({content.substr(start, text_end - start), content.substr(text_end, nl + 1 - text_end)});
        start = nl + 1;
    }
    return lines;
}

enum class kind { other, section, entry };

struct parsed_line {
    kind type = kind::other;
    std::string_view name;   // section name or key
    std::string_view value;  // raw value of an entry, trimmed
};

parsed_line parse_line(std::string_view text) noexcept {
    parsed_line out;
    const std::string_view body = trim(text);
    if (body.empty() || body.front() == ';') return out;
    if (body.front() == '[') {
        const std::size_t close = body.find(']');
        if (close == std::string_view::npos) return out;
        out.type = kind::section;
        out.name = trim(body.substr(1, close - 1));
        return out;
    }
    const std::size_t eq = body.find('=');
    if (eq == std::string_view::npos) return out;
    out.type = kind::entry;
    out.name = trim(body.substr(0, eq));
    out.value = trim(body.substr(eq + 1));
    return out;
}

std::string_view unquote(std::string_view value) noexcept {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

bool has_line_break(std::string_view text) noexcept {
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

// Read-modify-write of one file must not interleave with another in this process.
std::mutex& write_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::optional<std::string> find_value(std::string_view content, std::string_view section, std::string_view key) {
    section = trim(section);
    key = trim(key);
    bool in_section = false;
    for (const line& l : split_lines(content)) {
        const parsed_line p = parse_line(l.text);
        if (p.type == kind::section) {
            if (in_section) break;  // only the first matching section is searched
            in_section = same_name(p.name, section);
        } else if (p.type == kind::entry && in_section && same_name(p.name, key)) {
            return std::string(unquote(p.value));
        }
    }
    return std::nullopt;
}

std::uint32_t parse_uint(std::string_view value) noexcept {
    value = trim(value);
    bool negative = false;
    if (!value.empty() && (value.front() == '-' || value.front() == '+')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    std::uint32_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9') break;
        result = result * 10u + static_cast<std::uint32_t>(c - '0');
    }
    return negative ? 0u - result : result;
}

std::optional<std::string> set_value(std::string_view content, std::string_view section, std::string_view key,
                                     std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (key.empty() || has_line_break(section) || has_line_break(key) || has_line_break(value) ||
        section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
        key.front() == '[' || key.front() == ';')
        return std::nullopt;

    const std::vector<line> lines = split_lines(content);
    // New lines follow the file's own line-end style.
    std::string_view eol = "\n";
    for (const line& l : lines)
        if (!l.end.empty()) {
            eol = l.end;
            break;
        }

    std::size_t section_line = lines.size();  // first matching section header
    std::size_t insert_after = lines.size();  // last non-blank line of that section
    bool in_section = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const parsed_line p = parse_line(lines[i].text);
        if (p.type == kind::section) {
            if (in_section) break;  // only the first matching section counts
            if (same_name(p.name, section)) {
                in_section = true;
                section_line = insert_after = i;
            }
            continue;
        }
        if (!in_section) continue;
        if (p.type == kind::entry && same_name(p.name, key)) {
            // Keep the line up to and including '=' as it was; replace the value.
            std::string out(content.substr(0, static_cast<std::size_t>(lines[i].text.data() - content.data())));
            const std::size_t eq = lines[i].text.find('=');
            out.append(lines[i].text.substr(0, eq + 1));
            out.append(value);
            const char* rest = lines[i].text.data() + lines[i].text.size();
            out.append(rest, static_cast<std::size_t>(content.data() + content.size() - rest));
            return out;
        }
        if (!trim(lines[i].text).empty()) insert_after = i;
    }

    std::string entry(key);
    entry += '=';
    entry.append(value);

    if (section_line == lines.size()) {
        std::string out(content);
        if (!out.empty() && out.back() != '\n') out.append(eol);
        out += '[';
        out.append(section);
        out += ']';
        out.append(eol);
        out.append(entry);
        out.append(eol);
        return out;
    }

    // Insert after the last non-blank line of the section.
    const line& anchor = lines[insert_after];
    const char* after = anchor.text.data() + anchor.text.size() + anchor.end.size();
    std::string out(content.data(), static_cast<std::size_t>(after - content.data()));
    if (anchor.end.empty()) out.append(eol);
    out.append(entry);
    out.append(eol);
    out.append(after, static_cast<std::size_t>(content.data() + content.size() - after));
    return out;
}

std::uint32_t read_uint(const std::string& file, const std::string& section, const std::string& key,
                        std::uint32_t default_value) {
    std::string content;
    if (platform::fs::read_file(file, content) != 0) return default_value;
    const std::optional<std::string> value = find_value(content, section, key);
    if (!value || value->empty()) return default_value;
    return parse_uint(*value);
}

std::string read_string(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& default_value) {
    std::string content;
    if (platform::fs::read_file(file, content) != 0) return default_value;
    std::optional<std::string> value = find_value(content, section, key);
    return value ? std::move(*value) : default_value;
}

bool write_string(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value) {
    const std::lock_guard<std::mutex> guard(write_lock());
    std::string content;
    // A file that cannot be read but exists must not be replaced by a fresh one.
    if (platform::fs::read_file(file, content) != 0 && platform::fs::exists(file)) return false;
    const std::optional<std::string> updated = set_value(content, section, key, value);
    if (!updated) return false;
    return platform::fs::replace_file(file, *updated) == 0;
}

}  // namespace asynframe::profile

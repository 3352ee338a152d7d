#include "dns/hosts_file.h"

#include <optional>

#include "dns/ip_parser.h"
#include "platform/dns.h"
#include "platform/fs.h"

namespace asynframe {

// Cuts a byte stream into lines: LF, CR LF and a lone CR each end a line, the
// end of the input ends the last one; bytes past max_line are dropped.
class hosts_file::line_reader {
public:
    explicit line_reader(hosts_file& owner) : _owner(owner) { _line.reserve(max_line); }

    void feed(const char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = bytes[i];
            if (_after_cr) {
                _after_cr = false;
                if (c == '\n') continue;  // the LF of a CR LF pair
            }
            if (c == '\n' || c == '\r') {
                _after_cr = c == '\r';
                end_line();
            } else if (_line.size() < max_line) {
                _line.push_back(c);
            }
        }
    }

    void finish() { end_line(); }

private:
    void end_line() {
        if (!_line.empty()) _owner.parse_line(_line);
        _line.clear();
    }

    hosts_file& _owner;
    std::string _line;
    bool _after_cr = false;
};

namespace {

bool is_name_byte(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool is_separator(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

hosts_file::hosts_file() { load(default_path()); }

hosts_file::hosts_file(const std::string& path) { load(path); }

std::string hosts_file::default_path() {
    if (std::optional<std::string> chosen = platform::fs::environment("ASYNFRAME_HOSTS_FILE")) return *chosen;
    return platform::dns::hosts_file_path();
}

void hosts_file::load(const std::string& path) {
    if (path.empty()) return;
    // Through the platform's file calls, so that a UTF-8 name opens on every system.
    std::string content;
    if (platform::fs::read_file(path, content) != 0) return;
    parse(content);
}

void hosts_file::parse(std::string_view text) {
    line_reader reader(*this);
    reader.feed(text.data(), text.size());
    reader.finish();
}

void hosts_file::parse_line(std::string_view line) {
    const std::size_t comment = line.find('#');
    if (comment != std::string_view::npos) line = line.substr(0, comment);

    std::size_t pos = 0;
    auto next_token = [&](std::string_view& token) {
        while (pos < line.size() && is_separator(line[pos])) ++pos;
        if (pos == line.size()) return false;
        const std::size_t start = pos;
        while (pos < line.size() && !is_separator(line[pos])) ++pos;
        token = line.substr(start, pos - start);
        return true;
    };

    std::string_view address;
    if (!next_token(address)) return;
    std::uint32_t value = 0;
    std::string stored;
    auto* table = &_names;
    if (inet_addr_value(address, value)) {
        stored = address;
    } else {
        stored = canonical_ipv6(address);
        if (stored.empty()) return;
        table = &_names6;
    }

    std::string_view name;
    while (next_token(name)) {
        bool plain = true;
        for (char c : name) {
            if (!is_name_byte(c)) {
                plain = false;
                break;
            }
        }
        if (!plain) continue;
        if (table->find(name) != table->end()) continue;
        table->emplace(std::string(name), stored);
    }
}

bool hosts_file::lookup(const std::string& name, std::string& address) const {
    const auto found = _names.find(name);
    if (found == _names.end()) return false;
    address = found->second;
    return true;
}

bool hosts_file::lookup(const std::string& name, std::string& address, std::string& address6) const {
    const bool four = lookup(name, address);
    const auto found = _names6.find(name);
    if (found == _names6.end()) return four;
    address6 = found->second;
    return true;
}

}  // namespace asynframe

#include "dns/host_db.h"

#include "platform/tick.h"
#include "support/file_util.h"
#include "support/profile.h"

namespace asynframe {
namespace {

constexpr const char* fail_section = "domain_fail";
constexpr const char* succ_section = "domain_succ";
constexpr const char* succ6_section = "domain_succ6";
constexpr const char* suffix_section = "last_good";

std::string normalised_suffix(std::string suffix) {
    if (!suffix.empty() && suffix.front() != '.') suffix.insert(suffix.begin(), '.');
    return suffix;
}

// A name that could not be read back as the same private-profile key (a line
// break would even let a crafted name write lines of its own) is kept out of
// the file.
bool storable_key(const std::string& name) noexcept {
    if (name.empty()) return false;
    const char first = name.front();
    const char last = name.back();
    if (first == ';' || first == '#' || first == '[' || first == ' ' || first == '\t' || last == ' ' || last == '\t')
        return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '=') return false;
    }
    return true;
}

}  // namespace

host_db::host_db(std::string path, std::string default_suffix)
    : _path(std::move(path)), _default_suffix(std::move(default_suffix)) {}

host_db& host_db::instance() {
    static host_db db(default_path());
    return db;
}

std::string host_db::default_path() { return user_data_folder(true, true) + "host_db.dat"; }

bool host_db::failed_recently(const std::string& name) {
    mutex::scoped_lock guard(_fail_lock);
    if (_failures.empty()) return false;
    const auto found = _failures.find(name);
    if (found == _failures.end()) return false;
    if (!_timeout_read) {
        _fail_timeout = profile::read_uint(_path, fail_section, "cache_timeout", default_fail_timeout);
        _timeout_read = true;
    }
    // Elapsed time by unsigned subtraction, so neither the recorded tick plus
    // the time-out overflowing nor the counter wrapping revives or hides an entry.
    return platform::tick_elapsed(found->second, platform::tick_count()) < _fail_timeout;
}

void host_db::record_failure(const std::string& name) {
    mutex::scoped_lock guard(_fail_lock);
    if (!_enabled_read) {
        _enabled = profile::read_uint(_path, fail_section, "enable", 0) != 0;
        _enabled_read = true;
    }
    if (_enabled) _failures[name] = platform::tick_count();
}

std::string host_db::last_good_suffix() {
    mutex::scoped_lock guard(_file_lock);
    if (!_suffix_read) {
        _suffix = normalised_suffix(profile::read_string(_path, suffix_section, "suffix", _default_suffix));
        _suffix_read = true;
    }
    return _suffix;
}

bool host_db::ends_with_suffix(const std::string& name, const std::string& suffix) noexcept {
    if (suffix.empty() || name.size() < suffix.size()) return false;
    return name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string host_db::join_addresses(const std::vector<std::string>& addresses) {
    std::string value;
    for (const std::string& address : addresses) {
        value += address;
        value += '|';
    }
    return value;
}

std::vector<std::string> host_db::split_addresses(const std::string& value) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = value.find('|', start);
        if (bar == std::string::npos) {
            if (start < value.size()) pieces.push_back(value.substr(start));
            return pieces;
        }
        pieces.push_back(value.substr(start, bar - start));
        start = bar + 1;
    }
}

void host_db::apply_last_good(const std::string& name, std::int32_t& code, std::vector<std::string>& addresses) {
    if (!ends_with_suffix(name, last_good_suffix()) || !storable_key(name)) return;
    mutex::scoped_lock guard(_file_lock);
    if (code != 0) {
        std::vector<std::string> stored = split_addresses(profile::read_string(_path, succ_section, name, ""));
        if (stored.empty()) return;
        code = 0;
        addresses = std::move(stored);
        return;
    }
    // A failed write only loses the fallback for this name.
    (void)profile::write_string(_path, succ_section, name, join_addresses(addresses));
}

bool host_db::last_good_family(const std::string& name, int family, bool failed,
                               std::vector<std::string>& addresses) {
    if (family == 4) {
        std::int32_t code = failed ? 1 : 0;
        if (!failed && addresses.empty()) return false;
        apply_last_good(name, code, addresses);
        return failed && code == 0;
    }
    if (!ends_with_suffix(name, last_good_suffix()) || !storable_key(name)) return false;
    mutex::scoped_lock guard(_file_lock);
    if (failed) {
        std::vector<std::string> stored = split_addresses(profile::read_string(_path, succ6_section, name, ""));
        if (stored.empty()) return false;
        addresses = std::move(stored);
        return true;
    }
    if (!addresses.empty()) (void)profile::write_string(_path, succ6_section, name, join_addresses(addresses));
    return false;
}

}  // namespace asynframe

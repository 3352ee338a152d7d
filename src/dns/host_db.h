// The persistent side of the answer cache, kept in the private-profile file
// "host_db.dat" in the common data folder:
//
//   [domain_fail]  enable=<non-zero records failures>  cache_timeout=<ms, default 20000>
//   [domain_succ]  <host name>=<address>|<address>|...   (written by the resolver)
//   [domain_succ6] <host name>=<IPv6 address>|...         (written by the resolver)
//   [last_good]    suffix=<domain suffix>
//
// "domain_succ" holds IPv4 addresses only, as it always has; IPv6 ones go to a
// section of their own, which readers that know only the first one never
// look into (a profile lookup searches the named section alone).
//
// The recent-failure list answers a name that failed a moment ago at once
// instead of querying it again; it is off unless "enable" is set.
//
// The last-good-address rule keeps, for names ending with one domain suffix, the
// addresses of every successful resolution and answers a later failed
// resolution from them. The suffix is a deployment value: the "suffix" key of
// section "last_good" in host_db.dat, else the build-time default
// ASYNFRAME_LAST_GOOD_SUFFIX (empty unless defined at build time). An empty
// suffix switches the rule off; a suffix without its leading dot gets one, so
// "example.com" never matches "badexample.com".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/mutex.h"

#ifndef ASYNFRAME_LAST_GOOD_SUFFIX
#define ASYNFRAME_LAST_GOOD_SUFFIX ""
#endif

namespace asynframe {

class host_db {
public:
    static constexpr std::uint32_t default_fail_timeout = 20000;  // ms

    // `path` is the file; `default_suffix` the suffix used when the file names none.
    explicit host_db(std::string path, std::string default_suffix = ASYNFRAME_LAST_GOOD_SUFFIX);
    virtual ~host_db() = default;
    host_db(const host_db&) = delete;
    host_db& operator=(const host_db&) = delete;

    // The process-wide store over "host_db.dat" in the common data folder
    // (created when missing). Lives as long as the process.
    static host_db& instance();
    static std::string default_path();

    // True when `name` failed less than "cache_timeout" ms ago.
    bool failed_recently(const std::string& name);
    // Notes now as the last failure of `name`, when recording is enabled.
    void record_failure(const std::string& name);

    // Run on every completion before the caller is told: a failure (code not
    // 0) of a name under the suffix is turned into success with the stored
    // addresses, when there are any; a success stores its addresses.
    void apply_last_good(const std::string& name, std::int32_t& code, std::vector<std::string>& addresses);

    // The same rule for one address family (4 or 6) of a completion: when
    // `failed`, the family's stored addresses of a name under the suffix
    // replace `addresses` (true then); otherwise a non-empty `addresses` is
    // stored for the family.
    bool last_good_family(const std::string& name, int family, bool failed, std::vector<std::string>& addresses);

    // The suffix in force (read once); empty when the rule is off.
    std::string last_good_suffix();

    // The stored form of an address list: each address followed by "|".
    static std::string join_addresses(const std::vector<std::string>& addresses);
    // Its reverse: pieces between separators (empty ones too); a trailing
    // separator adds nothing.
    static std::vector<std::string> split_addresses(const std::string& value);
    // Byte-wise, case-sensitive; an empty suffix matches nothing.
    static bool ends_with_suffix(const std::string& name, const std::string& suffix) noexcept;

    const std::string& path() const noexcept { return _path; }

private:
    std::string _path;
    std::string _default_suffix;

    // Guards the failure list and its two once-read values.
    mutex _fail_lock;
    std::map<std::string, std::uint32_t> _failures;  // name -> tick of its last failure
    bool _timeout_read = false;
    std::uint32_t _fail_timeout = default_fail_timeout;
    bool _enabled_read = false;
    bool _enabled = false;

    // Serialises the read-modify-write of the "domain_succ" lines and the
    // reading of the suffix.
    mutex _file_lock;
    bool _suffix_read = false;
    std::string _suffix;
};

}  // namespace asynframe

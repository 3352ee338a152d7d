// Hostile private-profile files: reading keys, and writing a key back must
// read back the value written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "support/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace profile = asynframe::profile;
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"enable", "cache_timeout"}) {
        const std::optional<std::string> value = profile::find_value(content, "domain_fail", key);
        if (value) (void)profile::parse_uint(*value);
    }
    (void)profile::find_value(content, "domain_succ", "www.corp.test");
    // Section and key names taken from the input's first line, too.
    const std::string_view first = content.substr(0, content.find('\n'));
    (void)profile::find_value(content, first.substr(0, first.size() / 2), first.substr(first.size() / 2));

    const std::optional<std::string> written = profile::set_value(content, "domain_succ", "www.corp.test", "10.0.0.1|");
    if (written) {
        const std::optional<std::string> back = profile::find_value(*written, "domain_succ", "www.corp.test");
        if (!back || *back != "10.0.0.1|") std::abort();
    }
    return 0;
}

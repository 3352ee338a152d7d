// Typed reads of the host's settings with defaults. Without a provider, or when
// the provider fails a call, every read gives its default. Nothing is cached.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "asynframe/host_services.h"
#include "support/setting_keys.h"

namespace asynframe {

class setting {
public:
    // Takes its own reference to the provider (which may be null).
    explicit setting(ISettingsProvider* provider) noexcept;
    virtual ~setting();
    setting(const setting&) = delete;
    setting& operator=(const setting&) = delete;

    std::uint32_t get_uint(std::string_view section, std::string_view key, std::uint32_t default_value) const;
    // Only the value 1 is true.
    bool get_bool(std::string_view section, std::string_view key, bool default_value) const;

    std::uint32_t get(const setting_keys::uint_key& key) const {
        return get_uint(key.section, key.key, key.default_value);
    }
    bool get(const setting_keys::bool_key& key) const { return get_bool(key.section, key.key, key.default_value); }
    // The provider's text, or the default when it has none.
    std::string get_string(std::string_view section, std::string_view key, std::string_view default_value) const;
    std::string get(const setting_keys::string_key& key) const {
        return get_string(key.section, key.key, key.default_value);
    }

    ISettingsProvider* provider() const noexcept { return _provider; }

private:
    bool _unused = false;
    ISettingsProvider* _provider;
};

// Reads a boolean straight from a provider, as the module does before any
// wrapper exists; the default when there is no provider or it fails.
bool provider_bool(ISettingsProvider* provider, std::string_view section, std::string_view key,
                   bool default_value);

}  // namespace asynframe

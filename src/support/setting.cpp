#include "support/setting.h"

#include "asynframe/com_helpers.h"

namespace asynframe {
namespace {

// Counted strings: an empty text still points at an empty text.
UINT length_of(std::string_view text) noexcept { return static_cast<UINT>(text.size()); }
const char* bytes_of(std::string_view text) noexcept { return text.data() != nullptr ? text.data() : ""; }

}  // namespace

std::string setting::get_string(std::string_view section, std::string_view key,
                                std::string_view default_value) const {
    if (_provider == nullptr) return std::string(default_value);
    text_receiver receiver;
    const HRESULT hr = _provider->GetString(length_of(section), bytes_of(section), length_of(key), bytes_of(key),
                                            &receiver);
    return FAILED(hr) || !receiver.received ? std::string(default_value) : receiver.text;
}

setting::setting(ISettingsProvider* provider) noexcept : _provider(provider) {
    (void)_unused;
    if (_provider != nullptr) _provider->AddRef();
}

setting::~setting() {
    if (_provider != nullptr) _provider->Release();
}

std::uint32_t setting::get_uint(std::string_view section, std::string_view key, std::uint32_t default_value) const {
    if (_provider == nullptr) return default_value;
    UINT value = default_value;
    const HRESULT hr =
        _provider->GetInteger(length_of(section), bytes_of(section), length_of(key), bytes_of(key), &value);
    return FAILED(hr) ? default_value : value;
}

bool setting::get_bool(std::string_view section, std::string_view key, bool default_value) const {
    return provider_bool(_provider, section, key, default_value);
}

bool provider_bool(ISettingsProvider* provider, std::string_view section, std::string_view key,
                   bool default_value) {
    if (provider == nullptr) return default_value;
    UINT value = default_value ? 1 : 0;
    const HRESULT hr =
        provider->GetBoolean(length_of(section), bytes_of(section), length_of(key), bytes_of(key), &value);
    return FAILED(hr) ? default_value : value == 1;
}

}  // namespace asynframe

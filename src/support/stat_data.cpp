#include "support/stat_data.h"

namespace asynframe {
namespace {

UINT length_of(std::string_view text) noexcept { return static_cast<UINT>(text.size()); }
const char* bytes_of(std::string_view text) noexcept { return text.data() != nullptr ? text.data() : ""; }

}  // namespace

stat_data::stat_data(IStatisticsSink* sink) noexcept : _sink(sink) {
    if (_sink != nullptr) _sink->AddRef();
}

stat_data::~stat_data() {
    if (_sink != nullptr) _sink->Release();
}

std::uint64_t stat_data::get_u64(std::string_view section, std::string_view key,
                                 std::uint64_t default_value) const {
    if (_sink == nullptr) return default_value;
    ULONGLONG value = default_value;
    const HRESULT hr = _sink->GetValue(length_of(section), bytes_of(section), length_of(key), bytes_of(key), &value);
    return FAILED(hr) ? default_value : value;
}

void stat_data::set_u64(std::string_view section, std::string_view key, std::uint64_t value) const {
    if (_sink == nullptr) return;
    _sink->SetValue(length_of(section), bytes_of(section), length_of(key), bytes_of(key),
                    static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32));
}

}  // namespace asynframe

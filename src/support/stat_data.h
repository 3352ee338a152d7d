// Reads and writes of the host's statistics. Without a sink reads give their
// default and writes go nowhere; a failing sink is treated the same way.
#pragma once

#include <cstdint>
#include <string_view>

#include "asynframe/host_services.h"

namespace asynframe {

class stat_data {
public:
    // Takes its own reference to the sink (which may be null).
    explicit stat_data(IStatisticsSink* sink = nullptr) noexcept;
    virtual ~stat_data();
    stat_data(const stat_data&) = delete;
    stat_data& operator=(const stat_data&) = delete;

    std::uint64_t get_u64(std::string_view section, std::string_view key, std::uint64_t default_value) const;
    void set_u64(std::string_view section, std::string_view key, std::uint64_t value) const;

    IStatisticsSink* sink() const noexcept { return _sink; }

private:
    IStatisticsSink* _sink;
};

}  // namespace asynframe

// Devices that move a range of the operation's buffer per request. The range
// is the operation's own (set_range); the three-argument forms set it first.
#pragma once

#include <cstdint>

#include "engine/asyn_io_device.h"
#include "engine/asyn_io_operation.h"

namespace asynframe {

template <class Base>
class ranged_device : public Base {
public:
    using Base::Base;

    void read(asyn_io_operation* operation) override { transfer_staged(operation, true); }
    void write(asyn_io_operation* operation) override { transfer_staged(operation, false); }
    // `expected_bytes` at `buffer_pos` of the operation's buffer.
    void read(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos) {
        operation->set_range(buffer_pos, expected_bytes);
        start_transfer(operation, expected_bytes, buffer_pos, true);
    }
    void write(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos) {
        operation->set_range(buffer_pos, expected_bytes);
        start_transfer(operation, expected_bytes, buffer_pos, false);
    }

protected:
    virtual void start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes,
                                std::uint32_t buffer_pos, bool receive) = 0;

private:
    void transfer_staged(asyn_io_operation* operation, bool receive) {
        start_transfer(operation, operation->range_length(), operation->range_start(), receive);
    }
};

}  // namespace asynframe

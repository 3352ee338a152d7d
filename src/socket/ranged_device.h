// Socket devices move a range of the operation's buffer per request. Engine
// callers name the range; the component layer stages it in the operation's
// request block and calls the one-argument form.
#pragma once

#include <cstdint>

#include "engine/asyn_io_device.h"

namespace asynframe {

class asyn_io_operation;

// The staged range of an operation: its length and its offset in the buffer.
void staged_range(asyn_io_operation* operation, std::uint32_t& expected_bytes, std::uint32_t& buffer_pos) noexcept;

template <class Base>
class ranged_device : public Base {
public:
    using Base::Base;

    void read(asyn_io_operation* operation) override { transfer_staged(operation, true); }
    void write(asyn_io_operation* operation) override { transfer_staged(operation, false); }
    // `expected_bytes` at `buffer_pos` of the operation's buffer.
    void read(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos) {
        start_transfer(operation, expected_bytes, buffer_pos, true);
    }
    void write(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos) {
        start_transfer(operation, expected_bytes, buffer_pos, false);
    }

protected:
    virtual void start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes,
                                std::uint32_t buffer_pos, bool receive) = 0;

private:
    void transfer_staged(asyn_io_operation* operation, bool receive) {
        std::uint32_t expected = 0, position = 0;
        staged_range(operation, expected, position);
        start_transfer(operation, expected, position, receive);
    }
};

}  // namespace asynframe

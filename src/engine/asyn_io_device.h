// Base of every low-level device (file, TCP, UDP, ICMP).
#pragma once

#include <cstdint>

#include "engine/singleton.h"
#include "platform/native.h"

namespace asynframe {

class asyn_io_operation;

namespace platform {
class io_backend;
}

class asyn_io_device : public with_singleton {
public:
    explicit asyn_io_device(singleton_instance* instance) noexcept : with_singleton(instance) {}
    virtual ~asyn_io_device() = default;

    virtual void read(asyn_io_operation* operation) = 0;
    virtual void write(asyn_io_operation* operation) = 0;
    virtual platform::native_handle handle() const = 0;
    virtual void close() = 0;
    // Registers the descriptor with the engine as its mode needs; throws
    // io_exception "associate_to_manager error" when that fails.
    virtual void associate_to_manager();

    bool use_completion_port() const noexcept;
    // Where requests are started: the engine's backend.
    platform::io_backend* io_port() const noexcept;
};

}  // namespace asynframe

// Receivers of completions. An asyn_io_handler also owns the operations it
// creates and keeps them until it deletes them.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/asyn_io_operation.h"
#include "engine/singleton.h"
#include "platform/mutex.h"

namespace asynframe {

class asyn_io_handler_base {
public:
    virtual ~asyn_io_handler_base() = default;
    // Dispatch thread; the operation is no longer pending.
    virtual void on_io_complete(asyn_io_operation* operation) = 0;
    // The engine went away with the operation still in flight: it is no longer
    // pending and will never complete. Owners that keep references for the
    // request let them go here.
    virtual void on_io_abandoned(asyn_io_operation*) {}
};

class asyn_io_handler : public asyn_io_handler_base, public with_singleton {
public:
    explicit asyn_io_handler(singleton_instance* instance) noexcept : with_singleton(instance) {}
    // Every operation is deleted, on any thread; pending ones are orphaned and
    // deleted by the engine when they complete. An owner going on a host
    // thread must not have a completion of its own running meanwhile.
    ~asyn_io_handler() override;

    void on_io_complete(asyn_io_operation* operation) override = 0;
    // Not called by the engine; subclasses give them a meaning.
    virtual void on_notify(std::uint32_t value);
    virtual void cancel() = 0;

    asyn_io_operation* create_operation(std::uint32_t buffer_size);
    void delete_operation(asyn_io_operation* operation_ptr);
    void remove_operation(asyn_io_operation* operation_ptr);
    void delete_all_operations();

    std::size_t operation_count();

private:
    friend class asyn_io_operation;
    void add_operation(asyn_io_operation* operation_ptr);

    std::vector<asyn_io_operation*> _operations;
    mutex _operations_lock;
};

class dummy_handler : public asyn_io_handler {
public:
    explicit dummy_handler(singleton_instance* instance) noexcept : asyn_io_handler(instance) {}
    void on_io_complete(asyn_io_operation*) override {}
    void cancel() override {}
};

}  // namespace asynframe

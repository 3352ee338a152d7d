#include "engine/asyn_io_handler.h"

#include <algorithm>

#include "engine/asyn_io_manager.h"
#include "support/assert.h"

namespace asynframe {

// On any thread: a pending operation left pointing here would call a handler
// that is gone when it completes, so it is orphaned and the engine deletes it.
asyn_io_handler::~asyn_io_handler() { delete_all_operations(); }

void asyn_io_handler::on_notify(std::uint32_t) {}

asyn_io_operation* asyn_io_handler::create_operation(std::uint32_t buffer_size) {
    return new asyn_io_operation(_singleton, this, buffer_size);
}

void asyn_io_handler::add_operation(asyn_io_operation* operation_ptr) {
    mutex::scoped_lock guard(_operations_lock);
    _operations.push_back(operation_ptr);
}

void asyn_io_handler::delete_operation(asyn_io_operation* operation_ptr) {
    vortan_assert_text(operation_ptr->handdler_ptr() == this, "operation_ptr->handdler_ptr() == this",
                       "vortan_assert", "asyn_io_handler", 66);
    remove_operation(operation_ptr);
    if (operation_ptr->is_pending())
        operation_ptr->detach_handler();
    else
        delete operation_ptr;
}

void asyn_io_handler::remove_operation(asyn_io_operation* operation_ptr) {
    vortan_assert_text(operation_ptr != NULL, "operation_ptr != NULL", "vortan_assert", "asyn_io_handler", 99);
    mutex::scoped_lock guard(_operations_lock);
    const auto found = std::find(_operations.begin(), _operations.end(), operation_ptr);
    if (found != _operations.end()) _operations.erase(found);
}

void asyn_io_handler::delete_all_operations() {
    mutex::scoped_lock guard(_operations_lock);
    for (asyn_io_operation* operation_ptr : _operations) {
        if (operation_ptr->is_pending())
            operation_ptr->detach_handler();
        else
            delete operation_ptr;
    }
    _operations.clear();
}

std::size_t asyn_io_handler::operation_count() {
    mutex::scoped_lock guard(_operations_lock);
    return _operations.size();
}

}  // namespace asynframe

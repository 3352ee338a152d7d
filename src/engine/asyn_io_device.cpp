#include "engine/asyn_io_device.h"

#include "engine/asyn_io_manager.h"
#include "platform/io_backend.h"
#include "support/exceptions.h"

namespace asynframe {

platform::io_backend* asyn_io_device::io_port() const noexcept {
    if (_singleton == nullptr || _singleton->asyn_io_manager_ptr == nullptr) return nullptr;
    return _singleton->asyn_io_manager_ptr->io_port();
}

bool asyn_io_device::use_completion_port() const noexcept {
    return _singleton != nullptr && _singleton->asyn_io_manager_ptr != nullptr &&
           _singleton->asyn_io_manager_ptr->use_completion_port();
}

void asyn_io_device::associate_to_manager() {
    platform::io_backend* port = io_port();
    if (port == nullptr) return;
    if (port->associate(handle()) != 0) throw io_exception("associate_to_manager error");
}

}  // namespace asynframe

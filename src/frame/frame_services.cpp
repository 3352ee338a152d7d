#include "frame/frame_services.h"

namespace asynframe::frame_services {

// No subsystem has registered a service yet: the bundle keeps its entries
// empty and the frame answers the dependent slots with E_NOTIMPL.

void create(singleton_instance&) {}

IUnknown* create_connect_manager_object(singleton_instance&) { return nullptr; }

void detach_connect_manager_object(singleton_instance&, IUnknown*) noexcept {}

void acquire_resolver() {}

void release_resolver() noexcept {}

void start(singleton_instance&) {}

void stop(singleton_instance&) noexcept {}

void destroy(singleton_instance& services) noexcept {
    services.file_asyn_io_helper_ptr = nullptr;
    services.accept_manager_ptr = nullptr;
    services.connect_manager_ptr = nullptr;
}

}  // namespace asynframe::frame_services

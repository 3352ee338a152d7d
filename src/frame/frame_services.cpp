#include "frame/frame_services.h"

#include "socket/socket_services.h"

namespace asynframe::frame_services {

// Subsystems not yet in this build leave their entries empty and the frame
// answers the dependent slots with E_NOTIMPL.

void create(singleton_instance& services) { socket_services::create_accept_manager(services); }

IUnknown* create_connect_manager_object(singleton_instance&) { return nullptr; }

void detach_connect_manager_object(singleton_instance&, IUnknown*) noexcept {}

void acquire_resolver() {}

void release_resolver() noexcept {}

void start(singleton_instance& services) { socket_services::start_accept_manager(services); }

void stop(singleton_instance& services) noexcept { socket_services::stop_accept_manager(services); }

void destroy(singleton_instance& services) noexcept {
    services.file_asyn_io_helper_ptr = nullptr;
    socket_services::destroy_accept_manager(services);
    services.connect_manager_ptr = nullptr;
}

}  // namespace asynframe::frame_services

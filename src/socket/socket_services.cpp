#include "socket/socket_services.h"

#include "engine/asyn_io_manager.h"
#include "platform/io_backend.h"
#include "socket/accept_manager.h"
#include "socket/connect_manager.h"
#include "socket/connect_manager_object.h"

namespace asynframe::socket_services {
namespace {

constexpr std::int32_t frame_accept_limit = 50;
constexpr std::uint32_t frame_syn_limit = 60;

}  // namespace

void create_connect_manager(singleton_instance& services) {
    if (services.connect_manager_ptr == nullptr) services.connect_manager_ptr = new connect_manager(&services);
}

void start_connect_manager(singleton_instance& services) {
    connect_manager* scheduler = services.connect_manager_ptr;
    if (scheduler == nullptr) return;
    scheduler->set_max_syn_count(frame_syn_limit);
    scheduler->start();
}

void stop_connect_manager(singleton_instance& services) noexcept {
    if (services.connect_manager_ptr != nullptr) services.connect_manager_ptr->stop();
}

void destroy_connect_manager(singleton_instance& services) noexcept {
    delete services.connect_manager_ptr;
    services.connect_manager_ptr = nullptr;
}

IUnknown* create_connect_manager_object(singleton_instance& services) {
    if (services.connect_manager_ptr == nullptr) return nullptr;
    auto* object = new CConnectManager(&services);
    services.connect_manager_ptr->add_events_sink(object);
    return static_cast<IConnectManager*>(object);
}

void detach_connect_manager_object(singleton_instance& services, IUnknown* object) noexcept {
    if (services.connect_manager_ptr == nullptr || object == nullptr) return;
    services.connect_manager_ptr->remove_events_sink(static_cast<CConnectManager*>(static_cast<IConnectManager*>(object)));
}

void create_accept_manager(singleton_instance& services) {
    if (services.accept_manager_ptr == nullptr)
        services.accept_manager_ptr = new accept_manager(&services, accept_manager::max_accepting_limit);
}

void start_accept_manager(singleton_instance& services) {
    accept_manager* acceptor = services.accept_manager_ptr;
    if (acceptor == nullptr || services.asyn_io_manager_ptr == nullptr) return;
    // Only a backend that cannot finish accepts itself needs the thread.
    platform::io_backend* port = services.asyn_io_manager_ptr->io_port();
    if (port == nullptr || port->completes_accepts()) return;
    acceptor->set_max_accepting(frame_accept_limit);
    acceptor->start();
}

void stop_accept_manager(singleton_instance& services) noexcept {
    if (services.accept_manager_ptr != nullptr) services.accept_manager_ptr->stop();
}

void destroy_accept_manager(singleton_instance& services) noexcept {
    delete services.accept_manager_ptr;
    services.accept_manager_ptr = nullptr;
}

}  // namespace asynframe::socket_services

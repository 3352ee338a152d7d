#include "frame/frame_services.h"

#include <new>

#include "dns/dns_object.h"
#include "dns/dns_service.h"
#include "file/file_services.h"
#include "socket/socket_services.h"
#include "support/setting.h"

namespace asynframe::frame_services {

void create(singleton_instance& services) {
    socket_services::create_connect_manager(services);
    socket_services::create_accept_manager(services);
    file_services::create_helper(services);
}

IUnknown* create_connect_manager_object(singleton_instance& services) {
    return socket_services::create_connect_manager_object(services);
}

void detach_connect_manager_object(singleton_instance& services, IUnknown* object) noexcept {
    socket_services::detach_connect_manager_object(services, object);
}

bool acquire_resolver(singleton_instance& services) {
    const bool system_lookup = services.setting_ptr == nullptr || services.setting_ptr->get(setting_keys::dns_system_lookup);
    start_dns_service(system_lookup);
    return system_lookup;
}

void release_resolver(singleton_instance& services, bool system_lookup) noexcept {
    abandon_dns_requests_of(&services);
    stop_dns_service(system_lookup);
}

HRESULT create_dns_object(singleton_instance& services, IAsynDns** dns) {
    auto* object = new (std::nothrow) CAsynDns(&services);
    if (object == nullptr) return E_OUTOFMEMORY;
    *dns = static_cast<IAsynDns*>(object);
    return S_OK;
}

void start(singleton_instance& services) {
    socket_services::start_accept_manager(services);
    socket_services::start_connect_manager(services);
    file_services::start_helper(services);
}

void stop(singleton_instance& services) noexcept {
    file_services::stop_helper(services);
    socket_services::stop_connect_manager(services);
    socket_services::stop_accept_manager(services);
}

void destroy(singleton_instance& services) noexcept {
    file_services::destroy_helper(services);
    socket_services::destroy_accept_manager(services);
    socket_services::destroy_connect_manager(services);
}

}  // namespace asynframe::frame_services

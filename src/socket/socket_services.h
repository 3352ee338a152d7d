// The connection scheduler and the acceptor as frame services: built with
// the others; the acceptor's thread runs only while the engine has no
// completion ring.
#pragma once

#include "asynframe/com.h"
#include "engine/singleton.h"

namespace asynframe::socket_services {

// Builds the connection scheduler and stores it in the bundle.
void create_connect_manager(singleton_instance& services);
// Half-open limit 60 (58 once the places kept back are taken off), then the
// wait service.
void start_connect_manager(singleton_instance& services);
// Nothing is watched any more; requests still out complete with 995 when the
// scheduler is destroyed.
void stop_connect_manager(singleton_instance& services) noexcept;
void destroy_connect_manager(singleton_instance& services) noexcept;
// The scheduler's component face, registered as its observer (the caller's
// reference); null without a scheduler.
IUnknown* create_connect_manager_object(singleton_instance& services);
void detach_connect_manager_object(singleton_instance& services, IUnknown* object) noexcept;

// Builds the acceptor (limit 62) and stores it in the bundle.
void create_accept_manager(singleton_instance& services);
// Without a completion ring: limit 50, then the acceptor's thread.
void start_accept_manager(singleton_instance& services);
// Stops the thread; requests still waiting complete with 995.
void stop_accept_manager(singleton_instance& services) noexcept;
// Destroys the acceptor and clears its entry.
void destroy_accept_manager(singleton_instance& services) noexcept;

}  // namespace asynframe::socket_services

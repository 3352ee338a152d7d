// The acceptor as one of the frame's services: built with the others, its
// thread run only while the engine has no completion ring.
#pragma once

#include "engine/singleton.h"

namespace asynframe::socket_services {

// Builds the acceptor (limit 62) and stores it in the bundle.
void create_accept_manager(singleton_instance& services);
// Without a completion ring: limit 50, then the acceptor's thread.
void start_accept_manager(singleton_instance& services);
// Stops the thread; requests still waiting complete with 995.
void stop_accept_manager(singleton_instance& services) noexcept;
// Destroys the acceptor and clears its entry.
void destroy_accept_manager(singleton_instance& services) noexcept;

}  // namespace asynframe::socket_services

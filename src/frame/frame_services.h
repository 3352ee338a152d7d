// The frame's services that other subsystems provide: the connection
// scheduler, the acceptor, the file creation helper and the process-wide
// resolver. The frame calls these steps at fixed points of Initialize and
// Uninitialize; each subsystem fills in its own part here, so the frame
// itself does not change when one grows.
#pragma once

#include "asynframe/com.h"
#include "asynframe/dns.h"
#include "engine/singleton.h"

namespace asynframe::frame_services {

// After the engine is built: connect_manager, accept_manager (limit 62) and
// file_asyn_io_helper, each stored in the bundle as soon as it exists. Throws
// on failure (what was built stays in the bundle for destroy()).
void create(singleton_instance& services);

// The scheduler's component face (CConnectManager), registered with the
// scheduler as an observer and published to the host as IConnectManager; null
// while there is no scheduler. The caller owns the reference.
IUnknown* create_connect_manager_object(singleton_instance& services);
// Undoes the observer registration before the caller releases `object`.
void detach_connect_manager_object(singleton_instance& services, IUnknown* object) noexcept;

// The process-wide resolver: the first user starts its thread, the last stops it.
// Returns whether the frame's settings allow system lookups ("dns"/"system_lookup"),
// which its release passes back.
bool acquire_resolver(singleton_instance& services);
// The frame's own requests still with the resolver are abandoned first: its
// engine is stopped and goes next.
void release_resolver(singleton_instance& services, bool system_lookup) noexcept;

// A new resolver object in `dns` (the caller's reference).
HRESULT create_dns_object(singleton_instance& services, IAsynDns** dns);

// Before the engine starts: the acceptor's thread (only without a completion
// port), the scheduler (half-open limit 60), the file helper's thread.
void start(singleton_instance& services);
// After the engine stopped: the file helper, the scheduler, the acceptor.
void stop(singleton_instance& services) noexcept;
// Destroys and clears the file helper, the acceptor and the scheduler; the
// scheduler's requests still out complete with 995 and its averages go to the
// statistics.
void destroy(singleton_instance& services) noexcept;

}  // namespace asynframe::frame_services

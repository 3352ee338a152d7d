// The file subsystem's part in a frame's life: its helper is made, started,
// stopped and destroyed with the frame's other services; the frame's file
// slots reach the subsystem only through here.
#pragma once

#include <cstdint>
#include <string>

#include "asynframe/file.h"
#include "engine/singleton.h"

namespace asynframe {
class CAsynIoOperation;
}

namespace asynframe::file_services {

void create_helper(singleton_instance& services);
void start_helper(singleton_instance& services);
void stop_helper(singleton_instance& services) noexcept;
void destroy_helper(singleton_instance& services) noexcept;

// A new closed file object; its IAsynFile face in `file` (the caller's reference).
HRESULT create_file_object(singleton_instance* services, IAsynFile** file);
// A create at the final size (`extend` false) or a resize of an existing file
// by name; the operation completes through the helper. The caller checked the
// arguments and took the request's reference.
void request_file_size(singleton_instance* services, CAsynIoOperation* object, std::uint32_t size_low,
                       std::uint32_t size_high, const std::string& path, bool extend);

}  // namespace asynframe::file_services

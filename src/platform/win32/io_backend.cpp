#include "platform/io_backend.h"

#include "platform/win32/io_backend_common.h"

namespace asynframe::platform {

// The completion port, unless the caller asks for the alertable loop
// ("system"/"force_win98"); there is no other choice to fall back on.
std::unique_ptr<io_backend> io_backend::create(bool readiness_only, bool external_wait) {
    if (readiness_only) return detail::make_alertable_backend(external_wait);
    return detail::make_iocp_backend(external_wait);
}

}  // namespace asynframe::platform

#include "platform/io_backend.h"

#include <cstdlib>
#include <cstring>

#include "platform/linux/io_backend_common.h"

namespace asynframe::platform {

std::unique_ptr<io_backend> io_backend::create(bool readiness_only, bool external_wait) {
    // Operators can turn the ring off without rebuilding.
    const char* disabled = std::getenv("ASYNFRAME_NO_IO_URING");
    if (disabled != nullptr && std::strcmp(disabled, "1") == 0) readiness_only = true;
#if defined(ASYNFRAME_HAVE_URING)
    if (!readiness_only) {
        if (auto ring = detail::make_uring_backend(external_wait)) return ring;
    }
#else
    (void)readiness_only;
#endif
    return detail::make_epoll_backend(external_wait);
}

}  // namespace asynframe::platform

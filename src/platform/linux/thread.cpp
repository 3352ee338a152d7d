#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>


namespace asynframe {

namespace platform {
std::uint32_t current_thread_id() noexcept {
    thread_local const std::uint32_t id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return id;
}

void name_current_thread(const char* name) noexcept {
    char kept[16] = {};
    for (std::size_t i = 0; i + 1 < sizeof kept && name[i] != '\0'; ++i) kept[i] = name[i];
    ::pthread_setname_np(::pthread_self(), kept);
}
}  // namespace platform

}  // namespace asynframe

#include "platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace asynframe::platform {

bool module_of(const void* address, module_info& out) {
    Dl_info info{};
    if (address == nullptr || ::dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return false;
    out.path = info.dli_fname != nullptr ? info.dli_fname : "";
    out.base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    if (out.path.empty()) out.path = executable_file_name();
    return true;
}

const module_info& own_module() {
    static const module_info own = [] {
        module_info info;
        module_of(reinterpret_cast<const void*>(&own_module), info);
        return info;
    }();
    return own;
}

std::string executable_file_name() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string full(path, static_cast<std::size_t>(n));
    const std::size_t slash = full.find_last_of('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

}  // namespace asynframe::platform

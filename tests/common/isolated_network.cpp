#include "isolated_network.h"

#if defined(_WIN32)

#include <cstdlib>
#include <cstring>

namespace asynframe::harness {

// A Windows program cannot leave the network itself: `make test-windows` runs
// wine inside a namespace of its own and says so in the environment.
bool enter_isolated_network() {
    const char* isolated = std::getenv("ASYNFRAME_ISOLATED_NETWORK");
    return isolated != nullptr && std::strcmp(isolated, "1") == 0;
}

bool network_isolated() { return enter_isolated_network(); }

}  // namespace asynframe::harness

#else

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace asynframe::harness {
namespace {
bool g_isolated = false;
}

bool enter_isolated_network() {
    if (g_isolated) return true;
    // A runner that made the namespace itself (and started peers in it) says so.
    const char* isolated = std::getenv("ASYNFRAME_ISOLATED_NETWORK");
    if (isolated != nullptr && std::strcmp(isolated, "1") == 0) return g_isolated = true;
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    g_isolated = up;
    return up;
}

bool network_isolated() { return g_isolated; }

}  // namespace asynframe::harness

#endif

#include "platform/probe.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace asynframe::platform {
namespace {

// Where the system refuses process_vm_readv (seccomp, old kernels), a pipe does
// the same job: write() reports EFAULT for unreadable source bytes.
bool read_through_pipe(const void* address, void* out, std::size_t length) noexcept {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    bool ok = true;
    auto* src = static_cast<const char*>(address);
    auto* dst = static_cast<char*>(out);
    std::size_t done = 0;
    while (ok && done < length) {
        const std::size_t chunk = length - done < 4096 ? length - done : 4096;
        const ssize_t n = ::write(fds[1], src + done, chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            ok = false;
            break;
        }
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(n)) {
            const ssize_t r = ::read(fds[0], dst + done + got, static_cast<std::size_t>(n) - got);
            if (r <= 0) {
                if (r < 0 && errno == EINTR) continue;
                ok = false;
                break;
            }
            got += static_cast<std::size_t>(r);
        }
        done += got;
    }
    ::close(fds[0]);
    ::close(fds[1]);
    return ok;
}

}  // namespace

bool safe_read(const void* address, void* out, std::size_t length) noexcept {
    if (length == 0) return true;
    if (address == nullptr) return false;
    const int saved = errno;
    iovec local{out, length};
    iovec remote{const_cast<void*>(address), length};
    const ssize_t n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    bool ok;
    if (n >= 0)
        ok = static_cast<std::size_t>(n) == length;
    else if (errno == ENOSYS || errno == EPERM)
        ok = read_through_pipe(address, out, length);
    else
        ok = false;
    errno = saved;
    return ok;
}

}  // namespace asynframe::platform

// The errno table shared by the backends: the Linux kernel's errno values, and
// the C runtime's on Windows (where only file and path calls of the runtime
// set errno; the system's own calls report GetLastError codes directly).
// Names one runtime lacks are left out there.
#include <cerrno>

#include "platform/errors.h"

namespace asynframe::platform {
namespace {

struct error_row {
    int native;
    std::uint32_t file;    // 0: no file meaning
    std::uint32_t socket;  // 0: no socket meaning
};

// One table, two columns: the same errno means different codes for files
// (system errors) and sockets (Winsock errors).
constexpr error_row error_table[] = {
    {EPERM, 5, 10013},          // access denied / WSAEACCES
    {ENOENT, 2, 0},             // file not found
    {ESRCH, 0, 0},
    {EINTR, 0, 10004},          // WSAEINTR
    {EIO, 1117, 0},             // ERROR_IO_DEVICE
    {ENXIO, 0, 0},
    {E2BIG, 0, 0},
    {EBADF, 6, 10009},          // invalid handle / WSAEBADF
    {EAGAIN, 0, 10035},         // WSAEWOULDBLOCK
    {ENOMEM, 8, 10055},         // not enough memory / WSAENOBUFS
    {EACCES, 5, 10013},
    {EFAULT, 998, 10014},       // ERROR_NOACCESS / WSAEFAULT
    {EBUSY, 170, 0},            // ERROR_BUSY
    {EEXIST, 80, 0},            // ERROR_FILE_EXISTS
    {EXDEV, 17, 0},             // ERROR_NOT_SAME_DEVICE
    {ENOTDIR, 3, 0},            // path not found
    {EISDIR, 5, 0},
    {EINVAL, 87, 10022},        // invalid parameter / WSAEINVAL
    {ENFILE, 4, 10024},         // too many open files / WSAEMFILE
    {EMFILE, 4, 10024},
    {EFBIG, 223, 0},            // ERROR_FILE_TOO_LARGE
    {ENOSPC, 112, 0},           // ERROR_DISK_FULL
    {ESPIPE, 132, 0},           // ERROR_SEEK_ON_DEVICE
    {EROFS, 19, 0},             // ERROR_WRITE_PROTECT
    {EPIPE, 109, 10058},        // broken pipe / WSAESHUTDOWN
    {ENAMETOOLONG, 206, 10063}, // ERROR_FILENAME_EXCED_RANGE / WSAENAMETOOLONG
    {ENOTEMPTY, 145, 0},        // ERROR_DIR_NOT_EMPTY
    {ELOOP, 1921, 0},           // ERROR_CANT_RESOLVE_FILENAME
    {ENOTSOCK, 0, 10038},       // WSAENOTSOCK
    {EDESTADDRREQ, 0, 10039},
    {EMSGSIZE, 234, 10040},     // ERROR_MORE_DATA / WSAEMSGSIZE
    {EPROTOTYPE, 0, 10041},
    {ENOPROTOOPT, 0, 10042},
    {EPROTONOSUPPORT, 0, 10043},
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, 0, 10044},
#endif
    {EOPNOTSUPP, 50, 10045},    // ERROR_NOT_SUPPORTED / WSAEOPNOTSUPP
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, 0, 10046},
#endif
    {EAFNOSUPPORT, 0, 10047},
    {EADDRINUSE, 0, 10048},
    {EADDRNOTAVAIL, 0, 10049},
    {ENETDOWN, 0, 10050},
    {ENETUNREACH, 0, 10051},
    {ENETRESET, 0, 10052},
    {ECONNABORTED, 0, 10053},
    {ECONNRESET, 0, 10054},
    {ENOBUFS, 0, 10055},
    {EISCONN, 0, 10056},
    {ENOTCONN, 0, 10057},
#ifdef ESHUTDOWN
    {ESHUTDOWN, 0, 10058},
#endif
    {ETIMEDOUT, 1460, 10060},   // ERROR_TIMEOUT / WSAETIMEDOUT
    {ECONNREFUSED, 0, 10061},
#ifdef EHOSTDOWN
    {EHOSTDOWN, 0, 10064},
#endif
    {EHOSTUNREACH, 0, 10065},
    {EALREADY, 0, 10037},
    {EINPROGRESS, 997, 10036},  // ERROR_IO_PENDING / WSAEINPROGRESS
    {ECANCELED, 995, 995},      // ERROR_OPERATION_ABORTED
    {ENOSYS, 50, 10045},
#ifdef EDQUOT
    {EDQUOT, 112, 10069},
#endif
    {ETXTBSY, 32, 0},           // ERROR_SHARING_VIOLATION
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, 0, 10035},    // a name of its own in the Windows C runtime
#endif
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    {ENOTSUP, 50, 10045},
#endif
};

std::uint32_t map(int error, bool socket) noexcept {
    if (error == 0) return 0;
    for (const auto& row : error_table) {
        if (row.native != error) continue;
        const std::uint32_t code = socket ? row.socket : row.file;
        if (code != 0) return code;
        // A socket call can still meet a file-system error, and the other way round.
        const std::uint32_t other = socket ? row.file : row.socket;
        if (other != 0) return other;
        break;
    }
    return unmapped_error_flag | static_cast<std::uint32_t>(error);
}

}  // namespace

std::uint32_t file_error_from_errno(int error) noexcept { return map(error, false); }
std::uint32_t socket_error_from_errno(int error) noexcept { return map(error, true); }

int native_error_of(std::uint32_t code) noexcept {
    if ((code & 0xE0000000u) != unmapped_error_flag) return 0;
    return static_cast<int>(code & ~unmapped_error_flag);
}

}  // namespace asynframe::platform

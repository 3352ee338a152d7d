#include "platform/fs.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/errors.h"
#include "platform/fault.h"

namespace asynframe::platform::fs {
namespace {

std::uint32_t failed() noexcept {
    const std::uint32_t code = last_file_error();
    // A failing call always has a reason; never report one as success.
    return code != 0 ? code : file_error_from_errno(EIO);
}

constexpr mode_t new_file_mode = 0644;
constexpr mode_t new_folder_mode = 0755;

// The descriptor a handle holds.
int fd_of(handle file) noexcept { return static_cast<int>(file); }

}  // namespace

std::uint32_t open(const std::string& path, open_disposition disposition, handle& out) noexcept {
    out = invalid_handle;
    int flags = O_CLOEXEC;
    switch (disposition) {
        case open_disposition::read_write_existing: flags |= O_RDWR; break;
        case open_disposition::read_write_new: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case open_disposition::read_write_truncate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case open_disposition::read_only_existing: flags |= O_RDONLY; break;
    }
    if (const int injected = fault::next(fault::site::open); fault::is_error(injected))
        return file_error_from_errno(injected);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, new_file_mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed();
    // A folder opens read-only on Linux; as a file it is refused.
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const std::uint32_t code = failed();
        ::close(fd);
        return code;
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        return file_error_from_errno(EISDIR);
    }
    out = fd;
    return 0;
}

void close(handle file) noexcept {
    if (file != invalid_handle) ::close(fd_of(file));
}

std::uint32_t open_like_windows(const std::string& path, std::uint32_t desired_access, std::uint32_t disposition,
                                std::uint32_t flags, handle& out) noexcept {
    constexpr std::uint32_t generic_read = 0x80000000u, generic_write = 0x40000000u;
    constexpr std::uint32_t write_through = 0x80000000u, no_buffering = 0x20000000u;
    out = invalid_handle;
    int mode = O_CLOEXEC;
    const bool reads = (desired_access & generic_read) != 0, writes = (desired_access & generic_write) != 0;
    mode |= writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
        case 1: mode |= O_CREAT | O_EXCL; break;   // create new
        case 2: mode |= O_CREAT | O_TRUNC; break;  // create always
        case 3: break;                             // open existing
        case 4: mode |= O_CREAT; break;            // open always
        case 5:                                    // truncate existing
            if (!writes) return file_error_from_errno(EINVAL);
            mode |= O_TRUNC;
            break;
        default: return file_error_from_errno(EINVAL);
    }
    if ((flags & no_buffering) != 0) mode |= O_DIRECT;
    if ((flags & write_through) != 0) mode |= O_DSYNC;
    if (const int injected = fault::next(fault::site::open); fault::is_error(injected))
        return file_error_from_errno(injected);
    int fd;
    do {
        fd = ::open(path.c_str(), mode, new_file_mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed();
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const std::uint32_t code = S_ISDIR(info.st_mode) ? file_error_from_errno(EISDIR) : failed();
        ::close(fd);
        return code;
    }
    out = fd;
    return 0;
}

std::uint32_t allocate(handle file, std::uint64_t size) noexcept {
    if (size == 0) return truncate(file, 0);
    int result;
    do {
        result = ::fallocate(fd_of(file), 0, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return 0;
    if (errno == EOPNOTSUPP || errno == ENOSYS) return file_error_from_errno(EOPNOTSUPP);
    return failed();
}

std::uint32_t page_size() noexcept {
    static const std::uint32_t size = static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

namespace {

// A fault injected into one step of a transfer: 0 with `ask` perhaps halved
// (a short transfer), or the errno to act on (EINTR: try the step again).
int injected_step(fault::site where, std::uint32_t& ask) noexcept {
    const int injected = fault::next(where);
    if (injected == 0) return 0;
    if (injected == fault::short_transfer) {
        if (ask > 1) ask /= 2;
        return 0;
    }
    return injected;
}

// One read or write, repeated from where a short transfer stopped. `move`
// makes one system call for `ask` bytes at `done` bytes in.
template <class Move>
std::uint32_t transfer(handle file, std::uint32_t length, std::uint32_t& done, bool writing, Move move) noexcept {
    done = 0;
    while (done < length) {
        std::uint32_t ask = length - done;
        if (const int injected = injected_step(writing ? fault::site::write : fault::site::read, ask)) {
            if (injected == EINTR) continue;
            return file_error_from_errno(injected);
        }
        const ssize_t n = move(ask);
        if (n < 0) {
            if (errno == EINTR) continue;
            // An open handle without write access: access denied, as for a read-only open.
            if (writing && errno == EBADF && ::fcntl(fd_of(file), F_GETFD) != -1) return file_error_from_errno(EACCES);
            return failed();
        }
        if (n == 0) return writing ? file_error_from_errno(ENOSPC) : error_end_of_file;
        done += static_cast<std::uint32_t>(n);
    }
    return 0;
}

bool beyond_offsets(std::uint64_t position, std::uint64_t length) noexcept {
    return position > static_cast<std::uint64_t>(INT64_MAX) - length;
}

}  // namespace

std::uint32_t read(handle file, void* buffer, std::uint32_t length, std::uint32_t& done) noexcept {
    auto* bytes = static_cast<unsigned char*>(buffer);
    return transfer(file, length, done, false,
                    [&](std::uint32_t ask) { return ::read(fd_of(file), bytes + done, ask); });
}

std::uint32_t write(handle file, const void* bytes, std::uint32_t length, std::uint32_t& done) noexcept {
    const auto* data = static_cast<const unsigned char*>(bytes);
    return transfer(file, length, done, true,
                    [&](std::uint32_t ask) { return ::write(fd_of(file), data + done, ask); });
}

std::uint32_t read_at(handle file, void* buffer, std::uint32_t length, std::uint64_t position,
                      std::uint32_t& done) noexcept {
    done = 0;
    if (beyond_offsets(position, length)) return file_error_from_errno(EINVAL);
    auto* bytes = static_cast<unsigned char*>(buffer);
    return transfer(file, length, done, false, [&](std::uint32_t ask) {
        return ::pread(fd_of(file), bytes + done, ask, static_cast<off_t>(position + done));
    });
}

std::uint32_t write_at(handle file, const void* bytes, std::uint32_t length, std::uint64_t position,
                       std::uint32_t& done) noexcept {
    done = 0;
    if (beyond_offsets(position, length)) return file_error_from_errno(EINVAL);
    const auto* data = static_cast<const unsigned char*>(bytes);
    return transfer(file, length, done, true, [&](std::uint32_t ask) {
        return ::pwrite(fd_of(file), data + done, ask, static_cast<off_t>(position + done));
    });
}

bool read_cached_at(handle file, void* buffer, std::uint32_t length, std::uint64_t position) noexcept {
    // A file system without the flag says so once; nothing is tried again.
    static std::atomic<bool> unsupported{false};
    if (length == 0 || beyond_offsets(position, length) || unsupported.load(std::memory_order_relaxed)) return false;
    // Faults are injected where the transfer is retried for real.
    if constexpr (fault::enabled) return false;
    iovec piece{buffer, length};
    const ssize_t n = ::preadv2(fd_of(file), &piece, 1, static_cast<off_t>(position), RWF_NOWAIT);
    if (n < 0 && errno == EOPNOTSUPP) unsupported.store(true, std::memory_order_relaxed);
    return n == static_cast<ssize_t>(length);
}

namespace {

// preadv or pwritev over the pieces, again from where a short transfer
// stopped, a batch of iovecs at a time.
std::uint32_t vectored_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                          std::uint32_t& done, bool writing) noexcept {
    done = 0;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].length;
    if (total > UINT32_MAX || beyond_offsets(position, total))
        return file_error_from_errno(EINVAL);
    constexpr std::size_t batch = 64;
    iovec vector[batch];
    std::size_t index = 0;  // the first piece not wholly moved
    std::size_t into = 0;   // bytes of it already moved
    for (;;) {
        while (index < count && pieces[index].length == into) {
            ++index;
            into = 0;
        }
        if (index == count) return 0;
        int n = 0;
        for (std::size_t i = index; i < count && n < static_cast<int>(batch); ++i, ++n) {
            const std::size_t skip = i == index ? into : 0;
            vector[n].iov_base = static_cast<unsigned char*>(pieces[i].data) + skip;
            vector[n].iov_len = pieces[i].length - skip;
        }
        // A short transfer is left to the system here: the pieces decide the split.
        std::uint32_t whole = UINT32_MAX;
        if (const int injected = injected_step(writing ? fault::site::write : fault::site::read, whole)) {
            if (injected == EINTR) continue;
            return file_error_from_errno(injected);
        }
        const off_t at = static_cast<off_t>(position + done);
        const ssize_t moved = writing ? ::pwritev(fd_of(file), vector, n, at) : ::preadv(fd_of(file), vector, n, at);
        if (moved < 0) {
            if (errno == EINTR) continue;
            if (writing && errno == EBADF && ::fcntl(fd_of(file), F_GETFD) != -1) return file_error_from_errno(EACCES);
            return failed();
        }
        if (moved == 0) return writing ? file_error_from_errno(ENOSPC) : error_end_of_file;
        done += static_cast<std::uint32_t>(moved);
        for (std::size_t left = static_cast<std::size_t>(moved); left > 0;) {
            const std::size_t rest = pieces[index].length - into;
            if (left < rest) {
                into += left;
                break;
            }
            left -= rest;
            ++index;
            into = 0;
        }
    }
}

}  // namespace

std::uint32_t read_scatter_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept {
    return vectored_at(file, pieces, count, position, done, false);
}

std::uint32_t write_gather_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept {
    return vectored_at(file, pieces, count, position, done, true);
}

std::uint32_t seek(handle file, std::uint64_t position) noexcept {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return file_error_from_errno(EINVAL);
    if (::lseek(fd_of(file), static_cast<off_t>(position), SEEK_SET) < 0) return failed();
    return 0;
}

std::uint32_t truncate(handle file, std::uint64_t length) noexcept {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) return file_error_from_errno(EINVAL);
    int rc;
    do {
        rc = ::ftruncate(fd_of(file), static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : failed();
}

std::uint32_t size(handle file, std::uint64_t& out) noexcept {
    struct stat info {};
    if (::fstat(fd_of(file), &info) != 0) return failed();
    out = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

std::uint32_t flush(handle file) noexcept { return ::fsync(fd_of(file)) == 0 ? 0 : failed(); }

std::uint32_t size_by_name(const std::string& path, std::uint64_t& out) noexcept {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return failed();
    out = S_ISDIR(info.st_mode) ? 0 : static_cast<std::uint64_t>(info.st_size);
    return 0;
}

bool exists(const std::string& path) noexcept {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::uint32_t make_directory(const std::string& path) noexcept {
    bool created = false;
    return make_directory(path, created);
}

std::uint32_t make_directory(const std::string& path, bool& created) noexcept {
    created = false;
    if (::mkdir(path.c_str(), new_folder_mode) == 0) {
        created = true;
        return 0;
    }
    if (errno == EEXIST) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return 0;
        return file_error_from_errno(EEXIST);
    }
    return failed();
}

bool writable_folder(const std::string& path) noexcept {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::uint32_t grant_group_access(const std::string& path, const char* group) noexcept {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> scratch(16384);
    int rc;
    while ((rc = ::getgrnam_r(group, &entry, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (rc != 0) return file_error_from_errno(rc);
    if (found == nullptr) return 1332;  // ERROR_NONE_MAPPED: no such account
    // Change the folder through its own descriptor: the path cannot be swapped
    // for a link to somewhere else between the check and the change.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed();
    std::uint32_t code = 0;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        code = failed();
    else if (info.st_gid != found->gr_gid && ::fchown(fd, static_cast<uid_t>(-1), found->gr_gid) != 0)
        code = failed();
    else if (::fchmod(fd, (info.st_mode & 07777) | S_IRWXG | S_ISGID) != 0)
        code = failed();
    ::close(fd);
    return code;
}

std::string user_data_base() {
    if (auto dir = environment("XDG_DATA_HOME"); dir && !dir->empty() && dir->front() == '/') return *dir;
    if (auto home = environment("HOME"); home && !home->empty()) return *home + "/.local/share";
    // The folder that stands in for the special folders when there is none.
    return "/tmp";
}

std::string common_data_base() { return "/var/lib"; }

char path_separator() noexcept { return '/'; }
bool is_path_separator(char c) noexcept { return c == '/'; }

std::optional<std::string> environment(const char* name) {
    const char* value = ::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::uint32_t read_file(const std::string& path, std::string& content) {
    content.clear();
    handle file;
    if (const std::uint32_t code = open(path, open_disposition::read_only_existing, file)) return code;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd_of(file), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            const std::uint32_t code = failed();
            close(file);
            return code;
        }
        if (n == 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    close(file);
    return 0;
}

std::uint32_t replace_file(const std::string& link_or_path, const std::string& content) {
    // Replace what a symbolic link points at, not the link itself.
    std::string path = link_or_path;
    if (char* resolved = ::realpath(link_or_path.c_str(), nullptr)) {
        path = resolved;
        ::free(resolved);
    }
    mode_t mode = new_file_mode;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) mode = info.st_mode & 07777;

    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return failed();
    std::uint32_t done = 0;
    std::uint32_t code = 0;
    std::size_t offset = 0;
    while (code == 0 && offset < content.size()) {
        const std::size_t chunk = std::min<std::size_t>(content.size() - offset, 1u << 30);
        code = write(fd, content.data() + offset, static_cast<std::uint32_t>(chunk), done);
        offset += done;
    }
    if (code == 0 && ::fchmod(fd, mode) != 0) code = failed();
    if (code == 0 && ::fsync(fd) != 0) code = failed();
    if (::close(fd) != 0 && code == 0) code = failed();
    if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = failed();
    if (code != 0) ::unlink(temp.c_str());
    return code;
}

}  // namespace asynframe::platform::fs

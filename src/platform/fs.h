// Blocking file-system calls. Every failure is reported as a Windows-space
// error code (platform/errors.h); 0 means success. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/native.h"

namespace asynframe::platform::fs {

using handle = native_handle;
using platform::invalid_handle;

// Reached the end of the file before the requested count (ERROR_HANDLE_EOF).
inline constexpr std::uint32_t error_end_of_file = 38;

enum class open_disposition {
    read_write_existing,  // fails when missing
    read_write_new,       // fails when it exists
    read_write_truncate,  // created or emptied
    read_only_existing,   // fails when missing
};

// Opens a regular file (a folder is refused with access denied). Close-on-exec.
std::uint32_t open(const std::string& path, open_disposition disposition, handle& out) noexcept;
void close(handle file) noexcept;

// Opens with the values of a Windows CreateFile call (asynframe/file.h):
// desired access GENERIC_READ/GENERIC_WRITE to O_RDONLY, O_WRONLY or O_RDWR;
// dispositions 1 to 5 to O_CREAT, O_EXCL and O_TRUNC; FILE_FLAG_NO_BUFFERING
// to O_DIRECT (whose transfers must then be aligned, or fail with 87);
// FILE_FLAG_WRITE_THROUGH to O_DSYNC. Share modes have no counterpart and are
// not enforced: every open file may be opened again. An unknown disposition
// is 87; a folder is refused with 5. On Windows the values go to CreateFileW
// as they are, plus FILE_FLAG_OVERLAPPED (for the completion port) and every
// share mode; the blocking calls below work on such a handle too.
std::uint32_t open_like_windows(const std::string& path, std::uint32_t desired_access, std::uint32_t disposition,
                                std::uint32_t flags, handle& out) noexcept;
// Gives the file `size` bytes of allocated blocks at once, without writing
// them (the size becomes `size`). 50 (not supported) where the file system
// cannot.
std::uint32_t allocate(handle file, std::uint64_t size) noexcept;
// The system's memory page size.
std::uint32_t page_size() noexcept;

// Transfer the whole count unless the end of the file or an error comes first;
// `done` tells how far it got in either case.
std::uint32_t read(handle file, void* buffer, std::uint32_t length, std::uint32_t& done) noexcept;
std::uint32_t write(handle file, const void* bytes, std::uint32_t length, std::uint32_t& done) noexcept;

// The same at `position`, without the handle's own position: it is neither
// read nor (on Linux) moved, so several transfers may run on one handle at
// once, from several threads.
std::uint32_t read_at(handle file, void* buffer, std::uint32_t length, std::uint64_t position,
                      std::uint32_t& done) noexcept;
std::uint32_t write_at(handle file, const void* bytes, std::uint32_t length, std::uint64_t position,
                       std::uint32_t& done) noexcept;
// read_at when every byte asked for is in memory already, so the call cannot
// wait for the disk; false without reading anything useful otherwise (not
// all cached, the end of the file, an error, or a system without the call),
// and read_at on another thread is the way then.
bool read_cached_at(handle file, void* buffer, std::uint32_t length, std::uint64_t position) noexcept;
// The same over several buffers, filled or written in turn from `position`:
// one system call for them all where the system has one (preadv, pwritev),
// one transfer each elsewhere.
std::uint32_t read_scatter_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept;
std::uint32_t write_gather_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept;

std::uint32_t seek(handle file, std::uint64_t position) noexcept;
// Cuts or extends the file at `length`.
std::uint32_t truncate(handle file, std::uint64_t length) noexcept;
std::uint32_t size(handle file, std::uint64_t& out) noexcept;
std::uint32_t flush(handle file) noexcept;

// Size of a named entry (0 for a folder).
std::uint32_t size_by_name(const std::string& path, std::uint64_t& out) noexcept;
bool exists(const std::string& path) noexcept;
// One folder level; an existing folder counts as success.
std::uint32_t make_directory(const std::string& path) noexcept;
// The same, telling whether this call made the folder (false when it existed).
std::uint32_t make_directory(const std::string& path, bool& created) noexcept;
// Whether the path is a folder this process may create entries in.
bool writable_folder(const std::string& path) noexcept;

// Read, write and search rights plus setgid for the named group on a folder.
// A symbolic link is refused, so the grant never lands on what it points at.
// Windows ignores `group`: the well-known BUILTIN\Users group gets full
// control, inherited by what the folder will hold.
std::uint32_t grant_group_access(const std::string& path, const char* group) noexcept;

// The system's base folders of application data, without a trailing separator:
// per user (Linux: $XDG_DATA_HOME when absolute, else ~/.local/share, else
// /tmp; Windows: CSIDL_APPDATA, else C:) and shared by every user (Linux:
// /var/lib; Windows: CSIDL_COMMON_APPDATA, else C:).
std::string user_data_base();
std::string common_data_base();
// The separator this system writes between path levels ('/', Windows '\'),
// and whether a character separates levels (Windows takes '/' as well).
char path_separator() noexcept;
bool is_path_separator(char c) noexcept;

// An environment variable (UTF-8 on every system); none when unset.
std::optional<std::string> environment(const char* name);

// The whole content of a file.
std::uint32_t read_file(const std::string& path, std::string& content);
// Replaces the file atomically: a temporary file in the same folder, flushed,
// then renamed over the target. The target keeps its permission bits (Linux;
// on Windows the new file takes the folder's inherited access list).
std::uint32_t replace_file(const std::string& path, const std::string& content);

}  // namespace asynframe::platform::fs

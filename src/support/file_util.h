// Synchronous file-system utilities: a small blocking file, size by name, the
// data folders, and folder access for the local users group.
#pragma once

#include <cstdint>
#include <string>

#include "platform/native.h"
#include "support/exceptions.h"

namespace asynframe {

// A blocking file whose every failure is a file_exception carrying the
// Windows-space error code.
class file_ex {
public:
    using native_handle = platform::native_handle;
    static constexpr native_handle invalid_handle = platform::invalid_handle;

    // Modes: 0 (and any other value) read/write, open existing; 1 read/write,
    // create new (fails if it exists); 2 read/write, create always (truncate);
    // 3 read only, open existing.
    file_ex(const std::string& name, int mode);
    file_ex() noexcept = default;
    virtual ~file_ex();
    file_ex(const file_ex&) = delete;
    file_ex& operator=(const file_ex&) = delete;

    void write(const void* bytes, std::uint32_t length);
    void read(void* buffer, std::uint32_t length);
    void seek(std::uint64_t position);
    void set_length(std::uint64_t length);
    std::uint64_t length();
    void flush();
    void attach(native_handle handle) noexcept;
    native_handle detach() noexcept;
    native_handle handle() const noexcept { return _handle; }

private:
    native_handle _handle = invalid_handle;
};

// Size of the named file; all ones when there is none.
std::uint64_t file_size_by_name(const std::string& path);

// The data folder "<base>/Tessal Network/Tessal/" (ends in a separator). The base
// is the common application-data folder when all_users is set, else the
// user's; the environment variable ASYNFRAME_DATA_DIR replaces both bases. With
// create set, missing folders are created (failures ignored). Only folders of
// the common data path that this call creates are opened to the local users
// group; per-user folders and folders that already existed keep their modes.
// When the common data folder cannot be created or written (a host not running
// as root), creating falls back to the per-user data folder.
std::string user_data_folder(bool create, bool all_users);

// Replaces the common base for the whole process; empty restores the usual
// one. Lets tests reach the fallback with a base that cannot be created.
void override_common_data_base(const std::string& base);

// Gives the local "users" group read, write and search rights (and setgid) on
// the folder (Windows: BUILTIN\Users, full control, inherited); true on
// success.
bool grant_users_access(const std::string& folder);

}  // namespace asynframe

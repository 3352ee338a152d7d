#include "platform/fs.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/wide.h"

namespace asynframe::platform::fs {
namespace {

constexpr std::uint32_t error_no_unicode_translation = 1113;  // ERROR_NO_UNICODE_TRANSLATION

HANDLE handle_of(handle file) noexcept { return reinterpret_cast<HANDLE>(file); }

std::uint32_t failed() noexcept {
    const std::uint32_t code = last_file_error();
    // A failing call always has a reason; never report one as success.
    return code != 0 ? code : static_cast<std::uint32_t>(ERROR_GEN_FAILURE);
}

// Paths that are not UTF-8 are refused rather than guessed at.
bool wide_path(const std::string& path, std::wstring& out) { return win32::to_wide(path, out) && !out.empty(); }

bool is_folder(HANDLE file) noexcept {
    BY_HANDLE_FILE_INFORMATION info{};
    return ::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::uint32_t create_file(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                          handle& out) noexcept {
    out = invalid_handle;
    std::wstring name;
    try {
        if (!wide_path(path, name)) return error_no_unicode_translation;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Every share mode: Linux lets any open file be opened again, renamed or
    // deleted, and callers rely on it. No security attributes: not inherited.
    const HANDLE file = ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, disposition, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed();
    // Only a caller's FILE_FLAG_BACKUP_SEMANTICS lets a folder open at all.
    if (is_folder(file)) {
        ::CloseHandle(file);
        return ERROR_ACCESS_DENIED;
    }
    out = reinterpret_cast<handle>(file);
    return 0;
}

// The position the blocking calls keep for a handle: the file object's own
// pointer, which an overlapped handle keeps too but never moves by itself.
bool position_of(HANDLE file, std::uint64_t& position) noexcept {
    LARGE_INTEGER zero{}, current{};
    if (!::SetFilePointerEx(file, zero, &current, FILE_CURRENT)) return false;
    position = static_cast<std::uint64_t>(current.QuadPart);
    return true;
}

bool move_to(HANDLE file, std::uint64_t position) noexcept {
    LARGE_INTEGER target{};
    target.QuadPart = static_cast<LONGLONG>(position);
    return ::SetFilePointerEx(file, target, nullptr, FILE_BEGIN) != 0;
}

// One transfer at an explicit offset, whether the handle was opened for
// overlapped use or not: the offset works for both, and the event's low bit
// keeps the completion from reaching a completion port the handle is
// associated with. A handle opened for synchronous use moves its position to
// the end of the transfer; an overlapped one keeps none.
std::uint32_t transfer_at(HANDLE file, void* buffer, DWORD length, std::uint64_t position, bool reading,
                          DWORD& moved) noexcept {
    moved = 0;
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return failed();
    OVERLAPPED request{};
    request.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    request.OffsetHigh = static_cast<DWORD>(position >> 32);
    request.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    BOOL done = reading ? ::ReadFile(file, buffer, length, nullptr, &request)
                        : ::WriteFile(file, buffer, length, nullptr, &request);
    std::uint32_t code = 0;
    if (!done && ::GetLastError() == ERROR_IO_PENDING) {
        ::WaitForSingleObject(event, INFINITE);
        done = TRUE;
    }
    if (done && !::GetOverlappedResult(file, &request, &moved, FALSE)) done = FALSE;
    if (!done) code = failed();
    ::CloseHandle(event);
    return code;
}

// One transfer at the handle's position, which it then moves past what moved.
std::uint32_t transfer_once(HANDLE file, void* buffer, DWORD length, bool reading, DWORD& moved) noexcept {
    moved = 0;
    std::uint64_t position = 0;
    if (!position_of(file, position)) return failed();
    std::uint32_t code = transfer_at(file, buffer, length, position, reading, moved);
    if (moved != 0 && !move_to(file, position + moved) && code == 0) code = failed();
    return code;
}

// The whole count at `position` unless the end of the file or an error comes first.
std::uint32_t whole_at(HANDLE file, unsigned char* bytes, std::uint32_t length, std::uint64_t position, bool reading,
                       std::uint32_t& done) noexcept {
    done = 0;
    if (position > static_cast<std::uint64_t>(INT64_MAX) - length) return ERROR_INVALID_PARAMETER;
    while (done < length) {
        DWORD moved = 0;
        const std::uint32_t code = transfer_at(file, bytes + done, length - done, position + done, reading, moved);
        done += moved;
        if (reading && code == ERROR_HANDLE_EOF) return error_end_of_file;
        if (code != 0) return code;
        if (moved == 0) return reading ? error_end_of_file : static_cast<std::uint32_t>(ERROR_DISK_FULL);
    }
    return 0;
}

// One piece after the other; Windows has no vectored transfer on a buffered
// handle (ReadFileScatter wants unbuffered, overlapped ones).
std::uint32_t pieces_at(HANDLE file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                        bool reading, std::uint32_t& done) noexcept {
    done = 0;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].length;
    if (total > UINT32_MAX) return ERROR_INVALID_PARAMETER;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t moved = 0;
        const std::uint32_t code = whole_at(file, static_cast<unsigned char*>(pieces[i].data),
                                            static_cast<std::uint32_t>(pieces[i].length), position + done, reading,
                                            moved);
        done += moved;
        if (code != 0) return code;
    }
    return 0;
}

// SE_MANAGE_VOLUME_NAME lets SetFileValidData skip the zeroing; a process
// that may not hold it never gets it, and allocation falls back.
bool volume_privilege_held() noexcept {
    static const bool held = [] {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        bool ok = ::LookupPrivilegeValueW(nullptr, L"SeManageVolumePrivilege", &wanted.Privileges[0].Luid) &&
                  ::AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr) &&
                  ::GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
        ::CloseHandle(token);
        return ok;
    }();
    return held;
}

// Renames an open file over `target` the POSIX way, which Windows 10 and
// later offer: a target another handle holds open is replaced too, as on
// Linux, where the older rename fails with access denied.
bool rename_over(HANDLE file, const std::wstring& target) noexcept {
    try {
        const DWORD length = ::GetFullPathNameW(target.c_str(), 0, nullptr, nullptr);
        if (length == 0) return false;
        std::wstring full(length, L'\0');
        const DWORD written = ::GetFullPathNameW(target.c_str(), length, full.data(), nullptr);
        if (written == 0 || written >= length) return false;
        full.resize(written);
        // FILE_RENAME_INFO as Windows 10 lays it out, whatever version the
        // headers are set for: flags in place of the old boolean.
        struct rename_info_ex {
            DWORD flags;
            HANDLE root;
            DWORD name_length;
            WCHAR name[1];
        };
        constexpr auto file_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
        constexpr DWORD replace_if_exists = 1, posix_semantics = 2;
        const std::size_t bytes = sizeof(rename_info_ex) + (full.size() + 1) * sizeof(wchar_t);
        std::vector<unsigned char> storage(bytes, 0);
        auto* info = reinterpret_cast<rename_info_ex*>(storage.data());
        info->flags = replace_if_exists | posix_semantics;
        info->root = nullptr;
        info->name_length = static_cast<DWORD>(full.size() * sizeof(wchar_t));
        std::memcpy(info->name, full.c_str(), (full.size() + 1) * sizeof(wchar_t));
        return ::SetFileInformationByHandle(file, file_rename_info_ex, info, static_cast<DWORD>(bytes)) != 0;
    } catch (...) {
        return false;
    }
}

std::string special_folder(int id) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path)) || path[0] == L'\0') return "C:";
    std::string text = win32::to_utf8(path);
    while (text.size() > 1 && is_path_separator(text.back())) text.pop_back();
    return text.empty() ? std::string("C:") : text;
}

}  // namespace

std::uint32_t open(const std::string& path, open_disposition disposition, handle& out) noexcept {
    DWORD access = GENERIC_READ | GENERIC_WRITE, creation = OPEN_EXISTING;
    switch (disposition) {
        case open_disposition::read_write_existing: break;
        case open_disposition::read_write_new: creation = CREATE_NEW; break;
        case open_disposition::read_write_truncate: creation = CREATE_ALWAYS; break;
        case open_disposition::read_only_existing: access = GENERIC_READ; break;
    }
    // Blocking use only: no overlapped flag.
    return create_file(path, access, creation, FILE_ATTRIBUTE_NORMAL, out);
}

void close(handle file) noexcept {
    if (file != invalid_handle) ::CloseHandle(handle_of(file));
}

std::uint32_t open_like_windows(const std::string& path, std::uint32_t desired_access, std::uint32_t disposition,
                                std::uint32_t flags, handle& out) noexcept {
    out = invalid_handle;
    // Checked here as on Linux, so both systems refuse the same values alike.
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
    if (disposition == TRUNCATE_EXISTING && (desired_access & GENERIC_WRITE) == 0) return ERROR_INVALID_PARAMETER;
    return create_file(path, desired_access, disposition, flags | FILE_FLAG_OVERLAPPED, out);
}

std::uint32_t allocate(handle file, std::uint64_t size) noexcept {
    if (size == 0) return truncate(file, 0);
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return ERROR_INVALID_PARAMETER;
    std::uint64_t current = 0;
    if (const std::uint32_t code = fs::size(file, current)) return code;
    // As fallocate: the file grows to `size`, never shrinks.
    if (current < size) {
        if (const std::uint32_t code = truncate(file, size)) return code;
    }
    // Without the privilege (or on a volume without valid data lengths) the
    // first write far into the file would zero everything before it at once:
    // the file is left as it was, as where fallocate fails, and the caller
    // spreads the zeroing out itself.
    if (volume_privilege_held() && ::SetFileValidData(handle_of(file), static_cast<LONGLONG>(std::max(current, size))))
        return 0;
    if (current < size) truncate(file, current);
    return ERROR_NOT_SUPPORTED;
}

std::uint32_t page_size() noexcept {
    static const std::uint32_t size = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return static_cast<std::uint32_t>(info.dwPageSize);
    }();
    return size;
}

std::uint32_t read(handle file, void* buffer, std::uint32_t length, std::uint32_t& done) noexcept {
    done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (done < length) {
        DWORD moved = 0;
        const std::uint32_t code = transfer_once(handle_of(file), bytes + done, length - done, true, moved);
        done += moved;
        if (code == ERROR_HANDLE_EOF) return error_end_of_file;
        if (code != 0) return code;
        if (moved == 0) return error_end_of_file;
    }
    return 0;
}

std::uint32_t write(handle file, const void* bytes, std::uint32_t length, std::uint32_t& done) noexcept {
    done = 0;
    auto* data = const_cast<unsigned char*>(static_cast<const unsigned char*>(bytes));
    while (done < length) {
        DWORD moved = 0;
        const std::uint32_t code = transfer_once(handle_of(file), data + done, length - done, false, moved);
        done += moved;
        if (code != 0) return code;
        if (moved == 0) return ERROR_DISK_FULL;
    }
    return 0;
}

std::uint32_t read_at(handle file, void* buffer, std::uint32_t length, std::uint64_t position,
                      std::uint32_t& done) noexcept {
    return whole_at(handle_of(file), static_cast<unsigned char*>(buffer), length, position, true, done);
}

std::uint32_t write_at(handle file, const void* bytes, std::uint32_t length, std::uint64_t position,
                       std::uint32_t& done) noexcept {
    return whole_at(handle_of(file), const_cast<unsigned char*>(static_cast<const unsigned char*>(bytes)), length,
                    position, false, done);
}

// Windows has no read that refuses to wait for the disk; the helper reads.
bool read_cached_at(handle, void*, std::uint32_t, std::uint64_t) noexcept { return false; }

std::uint32_t read_scatter_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept {
    return pieces_at(handle_of(file), pieces, count, position, true, done);
}

std::uint32_t write_gather_at(handle file, const buffer_span* pieces, std::size_t count, std::uint64_t position,
                              std::uint32_t& done) noexcept {
    return pieces_at(handle_of(file), pieces, count, position, false, done);
}

std::uint32_t seek(handle file, std::uint64_t position) noexcept {
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return ERROR_INVALID_PARAMETER;
    return move_to(handle_of(file), position) ? 0 : failed();
}

std::uint32_t truncate(handle file, std::uint64_t length) noexcept {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) return ERROR_INVALID_PARAMETER;
    // By the handle's information rather than SetEndOfFile, which would move
    // the position (ftruncate leaves it).
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) ? 0 : failed();
}

std::uint32_t size(handle file, std::uint64_t& out) noexcept {
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(handle_of(file), &value)) return failed();
    out = static_cast<std::uint64_t>(value.QuadPart);
    return 0;
}

std::uint32_t flush(handle file) noexcept { return ::FlushFileBuffers(handle_of(file)) ? 0 : failed(); }

std::uint32_t size_by_name(const std::string& path, std::uint64_t& out) noexcept {
    std::wstring name;
    try {
        if (!wide_path(path, name)) return error_no_unicode_translation;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &info)) return failed();
    out = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
              ? 0
              : (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return 0;
}

bool exists(const std::string& path) noexcept {
    std::wstring name;
    try {
        if (!wide_path(path, name)) return false;
    } catch (...) {
        return false;
    }
    return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::uint32_t make_directory(const std::string& path) noexcept {
    bool created = false;
    return make_directory(path, created);
}

std::uint32_t make_directory(const std::string& path, bool& created) noexcept {
    created = false;
    std::wstring name;
    try {
        if (!wide_path(path, name)) return error_no_unicode_translation;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (::CreateDirectoryW(name.c_str(), nullptr)) {
        created = true;
        return 0;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
        return ERROR_FILE_EXISTS;  // a file of that name, as Linux reports it
    }
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

bool writable_folder(const std::string& path) noexcept {
    // The read-only attribute means nothing on a folder, and the access list
    // is the system's to judge: an entry that can be made answers for it.
    try {
        std::wstring name;
        if (!wide_path(path, name)) return false;
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
        static std::atomic<unsigned> serial{0};
        wchar_t leaf[64];
        std::swprintf(leaf, 64, L"\\.writable-%lu-%u.tmp", static_cast<unsigned long>(::GetCurrentProcessId()),
                      serial.fetch_add(1, std::memory_order_relaxed));
        name += leaf;
        const HANDLE probe = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return false;
        ::CloseHandle(probe);
        return true;
    } catch (...) {
        return false;
    }
}

std::uint32_t grant_group_access(const std::string& path, const char*) noexcept {
    std::wstring name;
    try {
        if (!wide_path(path, name)) return error_no_unicode_translation;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Changed through a handle of the folder itself, opened without following
    // a link: the grant never lands on what a link points at.
    const HANDLE folder = ::CreateFileW(name.c_str(), READ_CONTROL | WRITE_DAC,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return failed();
    std::uint32_t code = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    PACL current = nullptr, updated = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    alignas(SID) BYTE users[SECURITY_MAX_SID_SIZE];
    DWORD users_size = sizeof users;
    if (!::GetFileInformationByHandle(folder, &info)) {
        code = failed();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        code = ERROR_CANT_RESOLVE_FILENAME;  // a link, refused as Linux refuses one
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        code = ERROR_PATH_NOT_FOUND;  // not a folder, as Linux reports it
    } else if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &users_size)) {
        code = failed();
    } else if (const DWORD got = ::GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                   &current, nullptr, &descriptor);
               got != ERROR_SUCCESS) {
        code = got;
    } else {
        EXPLICIT_ACCESS_W grant{};
        grant.grfAccessPermissions = GENERIC_ALL;
        grant.grfAccessMode = GRANT_ACCESS;
        grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        grant.Trustee.ptstrName = reinterpret_cast<LPWSTR>(users);
        if (const DWORD merged = ::SetEntriesInAclW(1, &grant, current, &updated); merged != ERROR_SUCCESS)
            code = merged;
        else if (const DWORD set = ::SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                     nullptr, updated, nullptr);
                 set != ERROR_SUCCESS)
            code = set;
    }
    if (updated != nullptr) ::LocalFree(updated);
    if (descriptor != nullptr) ::LocalFree(descriptor);
    ::CloseHandle(folder);
    return code;
}

std::string user_data_base() { return special_folder(CSIDL_APPDATA); }
std::string common_data_base() { return special_folder(CSIDL_COMMON_APPDATA); }

char path_separator() noexcept { return '\\'; }
bool is_path_separator(char c) noexcept { return c == '\\' || c == '/'; }

std::optional<std::string> environment(const char* name) {
    std::wstring key;
    if (!win32::to_wide(name, key) || key.empty()) return std::nullopt;
    // The process environment, not the C runtime's copy: a value set with
    // SetEnvironmentVariableW counts, and non-ASCII text stays intact.
    std::wstring value(64, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD needed = ::GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (needed == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (needed < value.size()) {
            value.resize(needed);
            return win32::to_utf8(value);
        }
        value.resize(needed);
    }
}

std::uint32_t read_file(const std::string& path, std::string& content) {
    content.clear();
    handle file;
    if (const std::uint32_t code = open(path, open_disposition::read_only_existing, file)) return code;
    char chunk[8192];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle_of(file), chunk, sizeof chunk, &got, nullptr)) {
            const std::uint32_t code = failed();
            close(file);
            return code;
        }
        if (got == 0) break;
        content.append(chunk, got);
    }
    close(file);
    return 0;
}

std::uint32_t replace_file(const std::string& path, const std::string& content) {
    std::wstring target;
    if (!wide_path(path, target)) return error_no_unicode_translation;
    static std::atomic<unsigned> serial{0};
    wchar_t suffix[64];
    std::swprintf(suffix, 64, L".%lu-%u.tmp", static_cast<unsigned long>(::GetCurrentProcessId()),
                  serial.fetch_add(1, std::memory_order_relaxed));
    const std::wstring temp = target + suffix;
    const HANDLE file =
        ::CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed();
    std::uint32_t code = 0;
    std::size_t offset = 0;
    while (code == 0 && offset < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - offset, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, content.data() + offset, chunk, &written, nullptr))
            code = failed();
        else if (written == 0)
            code = ERROR_DISK_FULL;
        offset += written;
    }
    if (code == 0 && !::FlushFileBuffers(file)) code = failed();
    const bool renamed = code == 0 && rename_over(file, target);
    if (!::CloseHandle(file) && code == 0) code = failed();
    if (code == 0 && !renamed &&
        !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        code = failed();
    if (code != 0) ::DeleteFileW(temp.c_str());
    return code;
}

}  // namespace asynframe::platform::fs

#include "support/file_util.h"

#include "platform/fs.h"

namespace asynframe {
namespace {

namespace fs = platform::fs;

fs::open_disposition disposition_of(int mode) noexcept {
    switch (mode) {
        case 1: return fs::open_disposition::read_write_new;
        case 2: return fs::open_disposition::read_write_truncate;
        case 3: return fs::open_disposition::read_only_existing;
        default: return fs::open_disposition::read_write_existing;
    }
}

constexpr const char* users_group = "users";

std::string& common_base_override() {
    static std::string base;
    return base;
}

std::string base_folder(bool all_users) {
    if (all_users && !common_base_override().empty()) return common_base_override();
    if (auto dir = fs::environment("ASYNFRAME_DATA_DIR"); dir && !dir->empty()) return *dir;
    return all_users ? fs::common_data_base() : fs::user_data_base();
}

// Makes one level; with `share`, a level made here (never one found) is opened
// to the users group.
void make_level(const std::string& path, bool share) {
    bool created = false;
    if (fs::make_directory(path, created) == 0 && created && share) grant_users_access(path);
}

// The data levels below `base`, created when asked. Failures are left to the
// caller's later use of the folder.
std::string data_folder_below(std::string base, bool create, bool share) {
    const char separator = fs::path_separator();
    while (base.size() > 1 && fs::is_path_separator(base.back())) base.pop_back();
    if (create) {
        for (std::size_t at = 1; at < base.size(); ++at)
            if (fs::is_path_separator(base[at])) fs::make_directory(base.substr(0, at));
        make_level(base, share);
    }
    // The levels below bring their own separator.
    if (base.size() == 1 && fs::is_path_separator(base[0])) base.clear();
    for (const char* level : {"Tessal Network", "Tessal"}) {
        base += separator;
        base += level;
        if (create) make_level(base, share);
    }
    base += separator;
    return base;
}

}  // namespace

file_ex::file_ex(const std::string& name, int mode) {
    if (const std::uint32_t code = fs::open(name, disposition_of(mode), _handle))
        throw file_exception("open file:" + name + " error ", code);
}

file_ex::~file_ex() { fs::close(_handle); }

void file_ex::write(const void* bytes, std::uint32_t length) {
    if (length == 0) return;
    std::uint32_t done = 0;
    const std::uint32_t code = fs::write(_handle, bytes, length, done);
    if (code != 0 && done == 0) throw file_exception("write file error", code);
    if (done < length) throw file_exception("while write file,only part data write success", code);
}

void file_ex::read(void* buffer, std::uint32_t length) {
    std::uint32_t done = 0;
    const std::uint32_t code = fs::read(_handle, buffer, length, done);
    if (code == 0) return;
    if (code == fs::error_end_of_file || done != 0)
        throw file_exception("while read file, only success read part data", code);
    throw file_exception("read file error", code);
}

void file_ex::seek(std::uint64_t position) {
    if (const std::uint32_t code = fs::seek(_handle, position)) throw file_exception("set file pos error", code);
}

void file_ex::set_length(std::uint64_t length) {
    seek(length);
    if (const std::uint32_t code = fs::truncate(_handle, length))
        throw file_exception("set file length error", code);
}

std::uint64_t file_ex::length() {
    std::uint64_t size = 0;
    if (const std::uint32_t code = fs::size(_handle, size)) throw file_exception("get file length error", code);
    return size;
}

void file_ex::flush() {
    if (const std::uint32_t code = fs::flush(_handle)) throw file_exception("flush file error", code);
}

void file_ex::attach(native_handle handle) noexcept {
    if (_handle != invalid_handle && _handle != handle) fs::close(_handle);
    _handle = handle;
}

file_ex::native_handle file_ex::detach() noexcept {
    const native_handle handle = _handle;
    _handle = invalid_handle;
    return handle;
}

std::uint64_t file_size_by_name(const std::string& path) {
    std::uint64_t size = 0;
    if (fs::size_by_name(path, size) != 0) return ~std::uint64_t{0};
    return size;
}

std::string user_data_folder(bool create, bool all_users) {
    if (!all_users) return data_folder_below(base_folder(false), create, false);
    std::string common = data_folder_below(base_folder(true), create, true);
    if (!create || fs::writable_folder(common)) return common;
    // Without the right to make the common folder, shared data stays with the
    // user rather than failing every later write.
    return data_folder_below(base_folder(false), true, false);
}

void override_common_data_base(const std::string& base) { common_base_override() = base; }

bool grant_users_access(const std::string& folder) { return fs::grant_group_access(folder, users_group) == 0; }

}  // namespace asynframe

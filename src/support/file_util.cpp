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

// The folder that stands in for the special folders when there is none.
constexpr const char* fallback_base = "/tmp";
constexpr const char* users_group = "users";

std::string base_folder(bool all_users) {
    if (auto dir = fs::environment("ASYNFRAME_DATA_DIR"); dir && !dir->empty()) return *dir;
    if (all_users) return "/var/lib";
    if (auto dir = fs::environment("XDG_DATA_HOME"); dir && !dir->empty() && dir->front() == '/') return *dir;
    if (auto home = fs::environment("HOME"); home && !home->empty()) return *home + "/.local/share";
    return fallback_base;
}

// Creates every missing level of the path; failures are left to the caller's
// later use of the folder.
void make_path(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        fs::make_directory(path.substr(0, slash));
    fs::make_directory(path);
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
    std::string path = base_folder(all_users);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (create && !fs::exists(path)) {
        make_path(path);
        grant_users_access(path);
    }
    if (path == "/") path.clear();  // the levels below bring their own separator
    for (const char* level : {"/Tessal Network", "/Tessal"}) {
        path += level;
        if (create && !fs::exists(path)) fs::make_directory(path);
    }
    path += '/';
    return path;
}

bool grant_users_access(const std::string& folder) { return fs::grant_group_access(folder, users_group) == 0; }

}  // namespace asynframe

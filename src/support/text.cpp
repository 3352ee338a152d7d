#include "support/text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "platform/module.h"
#include "platform/probe.h"

namespace asynframe {
namespace {

constexpr std::size_t description_limit = 259;

// After the last separator of either kind the system takes ('\\' on Windows).
std::size_t last_separator(const std::string& path) {
    for (std::size_t at = path.size(); at-- > 0;)
        if (platform::fs::is_path_separator(path[at])) return at;
    return std::string::npos;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = last_separator(path);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string bad_interface(const void* iface) {
    char text[64];
    std::snprintf(text, sizeof text, "Bad IUnknown:0x%08" PRIXPTR, reinterpret_cast<std::uintptr_t>(iface));
    return text;
}

}  // namespace

std::string int_to_text(std::int32_t value) { return std::to_string(value); }
std::string int64_to_text(std::int64_t value) { return std::to_string(value); }
std::string uint_to_text(std::uint32_t value) { return std::to_string(value); }
std::string uint64_to_text(std::uint64_t value) { return std::to_string(value); }

std::string byte_to_hex(unsigned value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

std::string ip_to_text(std::uint32_t address) {
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);  // network order: first octet first in memory
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i != 0) text += '.';
        text += std::to_string(octets[i]);
    }
    return text;
}

bool module_file_version(const std::string& file, file_version& out) {
    const platform::module_info& own = platform::own_module();
    if (own.path.empty() || file.empty()) return false;
    const bool bare = last_separator(file) == std::string::npos;
    const bool match = bare ? file == base_name(own.path) : file == own.path;
    if (!match) return false;
    out.major = ASYNFRAME_VERSION_MAJOR;
    out.minor = ASYNFRAME_VERSION_MINOR;
    out.build = ASYNFRAME_VERSION_PATCH;
    out.revision = 0;
    return true;
}

std::string describe_interface(const void* iface, int slot) {
    if (slot < 0) return bad_interface(iface);
    const void* const* table = nullptr;
    if (!platform::safe_read(iface, &table, sizeof table)) return bad_interface(iface);
    const void* function = nullptr;
    // Plain address arithmetic: the table pointer may be garbage.
    const std::uintptr_t entry = reinterpret_cast<std::uintptr_t>(table) +
                                 static_cast<std::uintptr_t>(slot) * sizeof(void*);
    if (!platform::safe_read(reinterpret_cast<const void*>(entry), &function, sizeof function))
        return bad_interface(iface);
    unsigned char code = 0;
    if (!platform::safe_read(function, &code, sizeof code)) return bad_interface(iface);

    platform::module_info module;
    if (!platform::module_of(function, module)) return bad_interface(iface);
    const std::string name = base_name(module.path);

    // Versions come from the module itself, so compare by load address rather
    // than by name: another module may carry the same file name.
    file_version version;
    if (module.base != platform::own_module().base) version = file_version{};
    else module_file_version(platform::own_module().path, version);

    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(function);
    char text[description_limit + 1];
    std::snprintf(text, sizeof text, "%s[%d.%d.%d.%d]:0x%08" PRIXPTR "[%" PRIXPTR "]", name.c_str(),
                  int{version.major}, int{version.minor}, int{version.build}, int{version.revision}, module.base,
                  address - module.base);
    return text;
}

}  // namespace asynframe

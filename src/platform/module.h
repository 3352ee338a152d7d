// Which loaded module holds an address, and the file name of the executable.
#pragma once

#include <cstdint>
#include <string>

namespace asynframe::platform {

struct module_info {
    std::string path;        // as the loader knows it
    std::uintptr_t base = 0; // load address
};

// The module that contains `address`; false when it is in none.
bool module_of(const void* address, module_info& out);

// The module this library's code lives in.
const module_info& own_module();

// The executable's file name without its folder; empty when unknown.
std::string executable_file_name();

}  // namespace asynframe::platform

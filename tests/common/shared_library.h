// Loading the library as a host does (dlopen, LoadLibrary) and finding its
// entry points by name.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>

namespace asynframe::harness {

#if defined(_WIN32)

using library_handle = HMODULE;

// A bare file name is found in the program's folder first, where the DLL sits.
inline library_handle load_library(const char* path) { return ::LoadLibraryA(path); }
inline void* find_symbol(library_handle library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(library, name));
}
inline void unload_library(library_handle library) { ::FreeLibrary(library); }
inline std::string load_error() { return "error " + std::to_string(::GetLastError()); }

#else

using library_handle = void*;

inline library_handle load_library(const char* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL); }
inline void* find_symbol(library_handle library, const char* name) { return ::dlsym(library, name); }
inline void unload_library(library_handle library) { ::dlclose(library); }
inline std::string load_error() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "";
}

#endif

}  // namespace asynframe::harness

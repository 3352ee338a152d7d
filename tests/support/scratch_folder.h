// A temporary folder removed with everything in it, and a scoped environment
// variable, for tests that touch real files.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace asynframe::testing_support {

// What the library writes between path levels.
#if defined(_WIN32)
inline constexpr char separator = '\\';
#else
inline constexpr char separator = '/';
#endif

class scratch_folder {
public:
    scratch_folder() {
#if defined(_WIN32)
        // No mkdtemp: a name of this process and a counter, made only if new.
        static unsigned counter = 0;
        const std::filesystem::path temp = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 1000 && _path.empty(); ++attempt) {
            const std::filesystem::path candidate =
                temp / ("asynframe-sup-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) _path = candidate.string();
        }
        if (_path.empty()) std::abort();
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "asynframe-sup-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        _path = pattern;
#endif
    }
    ~scratch_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + separator + name; }

private:
    std::string _path;
};

class scoped_env {
public:
    scoped_env(const char* name, const char* value) : _name(name) {
        if (const char* old = std::getenv(name)) _old = old;
        set(name, value);
    }
    ~scoped_env() { set(_name.c_str(), _old ? _old->c_str() : nullptr); }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    static void set(const char* name, const char* value) {
#if defined(_WIN32)
        // An empty value removes the variable, from the process's block too.
        ::_putenv_s(name, value != nullptr ? value : "");
#else
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
#endif
    }

    std::string _name;
    std::optional<std::string> _old;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void spit(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace asynframe::testing_support

// A temporary folder removed with everything in it, and a scoped environment
// variable, for tests that touch real files.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace asynframe::testing_support {

class scratch_folder {
public:
    scratch_folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "asynframe-sup-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        _path = pattern;
    }
    ~scratch_folder() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

class scoped_env {
public:
    scoped_env(const char* name, const char* value) : _name(name) {
        if (const char* old = std::getenv(name)) _old = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~scoped_env() {
        if (_old)
            ::setenv(_name.c_str(), _old->c_str(), 1);
        else
            ::unsetenv(_name.c_str());
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
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

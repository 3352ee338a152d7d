#include "dns_test_support.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace asynframe::dns_test {

temp_folder::temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "asynframe-dns-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    _path = pattern;
}

temp_folder::~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

std::string temp_folder::write(const std::string& name, const std::string& content) const {
    const std::string target = file(name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return target;
}

std::string temp_folder::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace asynframe::dns_test

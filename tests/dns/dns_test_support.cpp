#include "dns_test_support.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/portable.h"

namespace asynframe::dns_test {

temp_folder::temp_folder() {
    // Under the root the peers see too: dnsmasq reads its zone from here.
    const std::string made = harness::make_temp_folder("asynframe-dns");
    if (made.empty()) throw std::runtime_error("no temporary folder");
    _path = made;
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

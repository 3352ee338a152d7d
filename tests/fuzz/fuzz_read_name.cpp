// Hostile names: read_name from an offset the input chooses, with a limit it
// chooses, then the encoder on whatever came out (and on the raw input).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dns/dns_package.h"

namespace {

void encode(const std::string& name) {
    unsigned char buffer[512];
    std::uint32_t length = sizeof buffer;
    asynframe::dns_package package(name, 1);
    try {
        package.encode(buffer, length);
    } catch (const asynframe::format_exception&) {
        return;
    }
    if (length < 17 || length > 271) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 65535) return 0;
    // Byte 0 (part of the ID) picks the start, byte 1 the limit.
    const auto length = static_cast<std::uint32_t>(size);
    const std::uint32_t offset = data[0] % length;
    const std::uint32_t limit = data[1] == 0xFF ? length : data[1];
    asynframe::adns_answer answer(data, length);
    std::string name;
    const int used = answer.read_name(data + offset, limit, name);
    if (used > 0 && (static_cast<std::uint32_t>(used) > limit || static_cast<std::uint32_t>(used) > length - offset))
        std::abort();
    if (used > 0) encode(name);
    encode(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

#include "platform/encoding.h"

#include <cstdint>

namespace asynframe::platform {

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                                    static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                                    static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[group >> 18 & 63];
        out += alphabet[group >> 12 & 63];
        out += alphabet[group >> 6 & 63];
        out += alphabet[group & 63];
    }
    // One or two bytes left: the group is padded with zero bits and "=".
    if (const std::size_t left = bytes.size() - i; left > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left == 2) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += alphabet[group >> 18 & 63];
        out += alphabet[group >> 12 & 63];
        out += left == 2 ? alphabet[group >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace asynframe::platform

#include "platform/encoding.h"

#include <openssl/evp.h>

namespace asynframe::platform {

std::string base64(std::string_view bytes) {
    if (bytes.empty()) return {};
    // Four characters for every three bytes (rounded up) and the terminator.
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                        static_cast<int>(bytes.size()));
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

}  // namespace asynframe::platform

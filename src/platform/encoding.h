// Text encodings taken from the system's crypto library.
#pragma once

#include <string>
#include <string_view>

namespace asynframe::platform {

// Base64 with the standard alphabet and "=" filler (RFC 4648).
std::string base64(std::string_view bytes);

}  // namespace asynframe::platform

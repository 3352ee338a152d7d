#include "support/exceptions.h"

namespace asynframe {

std::string error_code_text(const std::string& message, std::uint32_t code) {
    return message + ", error code: " + std::to_string(code);
}

}  // namespace asynframe

#include "platform/registration.h"

namespace asynframe::platform::registration {

// No class registry: the module records its classes in a file of its own.
bool system_registry() noexcept { return false; }

std::uint32_t register_class(const std::string&, const std::string&, const std::string&) { return 50; }

std::uint32_t unregister_class(const std::string&) { return 50; }

}  // namespace asynframe::platform::registration

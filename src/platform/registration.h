// The system's registry of component classes, where it has one (Windows:
// HKEY_CURRENT_USER\Software\Classes\CLSID). Linux has none; there the module
// keeps its own registration file instead (frame/module.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace asynframe::platform::registration {

// Whether this system has a class registry the calls below write to.
bool system_registry() noexcept;

// Records a class, by its id in registry form ("{XXXXXXXX-XXXX-...}"), as
// served in process by the module at `module_path` (UTF-8) for every threading
// model. Registering again rewrites the same values. 0 or the failure; 50
// where there is no registry.
std::uint32_t register_class(const std::string& class_id, const std::string& name, const std::string& module_path);
// Removes what register_class recorded for the class; a class not recorded is
// a success. 0 or the failure; 50 where there is no registry.
std::uint32_t unregister_class(const std::string& class_id);

}  // namespace asynframe::platform::registration

// Private-profile (INI) files: the small key files the resolver keeps.
// Section and key names match case-insensitively; the first match wins; a
// missing file or key reads as the default.
#pragma once

#include <cstdint>
#include <string>

namespace asynframe::profile {

// The leading decimal digits of the value (optional sign), like the platform's
// integer read; the default when the key is missing or the value has no digits.
std::uint32_t read_uint(const std::string& file, const std::string& section, const std::string& key,
                        std::uint32_t default_value);

// The value text with surrounding blanks and one pair of enclosing quotes removed;
// the default when the key is missing.
std::string read_string(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& default_value);

// Creates the file, section and key as needed and keeps every other line as it
// was. The file is replaced atomically (temporary file, then rename), so a crash
// mid-write leaves the old or the new content, never a torn one. False on failure.
bool write_string(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value);

}  // namespace asynframe::profile

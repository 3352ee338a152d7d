// Private-profile (INI) files: the small key files the resolver keeps.
// Section and key names match case-insensitively (ASCII); the first match wins;
// a missing file or key reads as the default. Lines are "key=value" with blanks
// trimmed around key and value, sections are "[name]", lines starting with ';'
// are comments; LF and CRLF line ends are both understood.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace asynframe::profile {

// Like the platform's integer read: the default when the key is missing or its
// value is empty; otherwise the leading decimal number of the value (an optional
// sign, "-5" gives 0xFFFFFFFB, wrapping modulo 2^32), and 0 when the value does
// not start with digits.
std::uint32_t read_uint(const std::string& file, const std::string& section, const std::string& key,
                        std::uint32_t default_value);

// The value text with surrounding blanks and one pair of enclosing quotes removed;
// the default when the key is missing.
std::string read_string(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& default_value);

// Creates the file, section and key as needed and keeps every other line as it
// was. The file is replaced atomically (temporary file, then rename), so a crash
// mid-write leaves the old or the new content, never a torn one. False on failure,
// and for names or values that cannot be stored in one line (line breaks, a key
// with '=' or starting with '[' or ';', a section with ']', an empty key).
bool write_string(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& value);

// The same on file content held in memory (any bytes).

// The value as read_string returns it; none when the section or key is missing.
std::optional<std::string> find_value(std::string_view content, std::string_view section, std::string_view key);

// The value as read_uint interprets it.
std::uint32_t parse_uint(std::string_view value) noexcept;

// The content with the key set; none when the names or value cannot be stored.
std::optional<std::string> set_value(std::string_view content, std::string_view section, std::string_view key,
                                     std::string_view value);

}  // namespace asynframe::profile

// Small text utilities: numbers, IPv4 addresses and interface descriptions.
// All texts are byte strings in the narrow code page (UTF-8 on Linux).
#pragma once

#include <cstdint>
#include <string>

namespace asynframe {

std::string int_to_text(std::int32_t value);
std::string int64_to_text(std::int64_t value);
std::string uint_to_text(std::uint32_t value);
std::string uint64_to_text(std::uint64_t value);

// Two upper-case hexadecimal digits of the low 8 bits, high nibble first.
std::string byte_to_hex(unsigned value);

// Dotted decimal text of an IPv4 address held in network byte order.
std::string ip_to_text(std::uint32_t address);

// Which module implements an interface: "<file>[a.b.c.d]:0x<base>[<offset>]",
// where the function in the given table slot lies at <offset> from the module's
// load address <base>. Two objects of one class in one module give the same
// text, objects of other modules do not. Base and offset are printed in full
// (at least eight digits for the base, more on 64-bit when the address needs
// them). An unreadable object, table or slot gives "Bad IUnknown:0x<pointer>".
// Never longer than 259 characters; never faults.
std::string describe_interface(const void* iface, int slot);

struct file_version {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t build = 0;
    std::uint16_t revision = 0;
};

// The version numbers of a module file (a bare file name or a path). Only this
// library carries version numbers on Linux: false for any other file.
bool module_file_version(const std::string& file, file_version& out);

}  // namespace asynframe

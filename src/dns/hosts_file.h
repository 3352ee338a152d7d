// The system hosts file, loaded once into name -> address tables, one for
// IPv4 lines and one for IPv6 lines.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace asynframe {

class hosts_file {
public:
    // Loads the system hosts file (platform::dns::hosts_file_path), or the file
    // named by the environment variable ASYNFRAME_HOSTS_FILE when it is set. Never fails: a
    // missing or unreadable file leaves the table empty.
    hosts_file();
    // Loads the given file (same rules).
    explicit hosts_file(const std::string& path);
    virtual ~hosts_file() = default;

    // The file the default constructor reads.
    static std::string default_path();

    // Adds the lines of a hosts-file text to the table, as if read from a file.
    void parse(std::string_view text);

    // Exact, case-sensitive match of an IPv4 line: replaces `address` and
    // returns true on a hit; leaves it alone otherwise.
    bool lookup(const std::string& name, std::string& address) const;
    // Both families: the IPv4 and the IPv6 address of `name` (each left alone
    // when the file has none); true when either is there.
    bool lookup(const std::string& name, std::string& address, std::string& address6) const;

    // Names with an IPv4 line, and names with an IPv6 line.
    std::size_t size() const noexcept { return _names.size(); }
    std::size_t size6() const noexcept { return _names6.size(); }

    // Bytes of a line that are kept; the rest of a longer line is dropped.
    static constexpr std::size_t max_line = 1023;

private:
    class line_reader;
    void load(const std::string& path);
    void parse_line(std::string_view line);

    // In each family the first line naming a host wins. IPv6 addresses are
    // kept in their RFC 5952 form.
    std::map<std::string, std::string, std::less<>> _names;
    std::map<std::string, std::string, std::less<>> _names6;
};

}  // namespace asynframe

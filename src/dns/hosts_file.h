// The system hosts file, loaded once into a name -> address table.
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

    // Exact, case-sensitive match: replaces `address` and returns true on a hit;
    // leaves it alone otherwise.
    bool lookup(const std::string& name, std::string& address) const;

    std::size_t size() const noexcept { return _names.size(); }

    // Bytes of a line that are kept; the rest of a longer line is dropped.
    static constexpr std::size_t max_line = 1023;

private:
    class line_reader;
    void load(const std::string& path);
    void parse_line(std::string_view line);

    std::map<std::string, std::string, std::less<>> _names;  // the first line naming a host wins
};

}  // namespace asynframe

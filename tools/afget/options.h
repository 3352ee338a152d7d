// afget's command line: what to download, where each URL goes, and how the
// connections are made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "afget/fetch.h"
#include "afget/progress.h"

namespace asynframe::tools {

struct options {
    std::vector<std::string> urls;
    std::string output;
    int connections = 1;
    std::uint64_t limit = 0;
    progress_mode progress = progress_mode::automatic;
    int retries = 5;
    bool overwrite = false;
    std::optional<std::pair<std::string, std::string>> user;
};

// The command line read and checked.
struct command_line {
    options settings;
    std::vector<url> targets;
    // Where each target goes: a file name, or "-" for standard output.
    std::vector<std::string> names;
    connection_settings connections;
    std::string library;
    std::string cacert;
    bool insecure = false;
};

// Reads the command line into `read`. An exit code when the run ends here
// (help, or a usage error already told); nullopt when the downloads go on.
std::optional<int> read_command_line(int argc, char** argv, command_line& read);

}  // namespace asynframe::tools

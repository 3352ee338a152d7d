// The command-line handling every tool shares, over CLI11.
#pragma once

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "common/host.h"

namespace asynframe::tools {

// Parses the command line. Empty when the tool goes on; otherwise the code to
// exit with, once --help is printed or a one-line error is.
inline std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& failure) {
        print_error(std::string(failure.what()) + " (see --help)");
        return exit_usage;
    }
    return std::nullopt;
}

}  // namespace asynframe::tools

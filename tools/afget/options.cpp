#include "afget/options.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "common/command_line.h"

namespace asynframe::tools {

namespace {

std::string output_name(const url& from) {
    std::string path = from.target.substr(0, from.target.find('?'));
    std::string name = path.substr(path.rfind('/') + 1);
    std::string decoded;
    if (!percent_decode(name, decoded) || decoded.empty() || decoded == "." || decoded == ".." ||
        decoded.find('/') != std::string::npos)
        return "index.html";
    return decoded;
}

std::optional<std::chrono::milliseconds> parse_seconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(value > 0) || value > 86400) return std::nullopt;
    return std::chrono::milliseconds(std::max<long>(1, static_cast<long>(value * 1000)));
}

}  // namespace

std::optional<int> read_command_line(int argc, char** argv, command_line& read) {
    CLI::App app{"afget: an HTTP/1.1 and HTTPS downloader on asynframe"};
    options& settings = read.settings;
    std::string limit, proxy, progress = "auto", user, connect_timeout = "60", idle_timeout = "60";
    std::string& cacert = read.cacert;
    std::string& library = read.library;
    bool& insecure = read.insecure;
    app.add_option("URL", settings.urls, "what to download (http:// or https://); each is tried")->required();
    app.add_option("-o,--output", settings.output,
                   "output file (one URL only), existing folder to save into, or - for standard output");
    app.add_option("-c,--connections", settings.connections, "connections (ranges) per file, 1 to 16")
        ->check(CLI::Range(1, 16));
    app.add_option("--retry", settings.retries, "tries after a failure, per range (default 5)")
        ->check(CLI::Range(0, 100));
    app.add_option("--connect-timeout", connect_timeout, "seconds a connection may take to open (default 60)");
    app.add_option("--timeout", idle_timeout, "seconds a connection may stay silent (default 60)");
    app.add_option("--user", user, "USER:PASS for the server (Basic)");
    app.add_flag("--overwrite", settings.overwrite, "replace an existing complete file");
    app.add_option("--limit", limit, "total rate limit in bytes per second (k, M, G suffixes)");
    app.add_option("--proxy", proxy, "SOCKS5 proxy: socks5://[user:pass@]host:port");
    app.add_option("--cacert", cacert, "PEM file of certificates to trust besides the system's");
    app.add_flag("-k,--insecure", insecure, "do not verify the server's certificate");
    app.add_option("--progress", progress, "auto, bar, lines or none")
        ->check(CLI::IsMember({"auto", "bar", "lines", "none"}));
    app.add_option("--library", library, "path of libasynframe.so");
    if (const std::optional<int> stop = parse_command_line(app, argc, argv)) return *stop;
    settings.progress = progress == "bar"     ? progress_mode::bar
                        : progress == "lines" ? progress_mode::lines
                        : progress == "none"  ? progress_mode::none
                                              : progress_mode::automatic;
    std::vector<url>& targets = read.targets;
    for (const std::string& text : settings.urls) {
        std::string why;
        const std::optional<url> parsed = parse_url(text, "http,https", why);
        if (!parsed) {
            print_error(why);
            return exit_usage;
        }
        targets.push_back(*parsed);
    }
    // Where each URL goes: the named file, a file named after the URL in the
    // named folder, or standard output.
    std::vector<std::string>& names = read.names;
    const std::string& output = settings.output;
    std::error_code failed;
    const bool into_folder = !output.empty() && output != "-" &&
                             (std::filesystem::is_directory(output, failed) || output.back() == '/');
    if (into_folder && !std::filesystem::is_directory(output, failed)) {
        print_error("-o: no folder " + output);
        return exit_usage;
    }
    for (const url& each : targets) {
        if (output.empty())
            names.push_back(output_name(each));
        else if (into_folder)
            names.push_back((std::filesystem::path(output) / output_name(each)).string());
        else
            names.push_back(output);
    }
    if (!output.empty() && output != "-" && !into_folder && targets.size() > 1) {
        print_error("-o names one file; give one URL with it, or a folder");
        return exit_usage;
    }
    connection_settings& connections = read.connections;
    if (!proxy.empty()) {
        std::string why;
        connections.proxy = parse_url(proxy, "socks5", why);
        if (!connections.proxy) {
            print_error("--proxy: " + why);
            return exit_usage;
        }
    }
    if (!user.empty()) {
        const std::size_t colon = user.find(':');
        if (colon == std::string::npos) {
            print_error("--user: USER:PASS expected");
            return exit_usage;
        }
        settings.user = std::make_pair(user.substr(0, colon), user.substr(colon + 1));
    }
    const auto connect_limit = parse_seconds(connect_timeout), idle_limit = parse_seconds(idle_timeout);
    if (!connect_limit) {
        print_error("--connect-timeout: not a number of seconds above 0: " + connect_timeout);
        return exit_usage;
    }
    if (!idle_limit) {
        print_error("--timeout: not a number of seconds above 0: " + idle_timeout);
        return exit_usage;
    }
    connections.connect_timeout = *connect_limit;
    connections.idle_timeout = *idle_limit;
    if (!limit.empty() && (!parse_amount(limit, settings.limit) || settings.limit == 0 ||
                           settings.limit >= SPEED_UNLIMITED)) {
        print_error("--limit: not a rate in bytes per second: " + limit);
        return exit_usage;
    }
    if (!cacert.empty() && ::access(cacert.c_str(), R_OK) != 0) {
        print_error("--cacert: cannot read " + cacert);
        return exit_usage;
    }
    return std::nullopt;
}

}  // namespace asynframe::tools

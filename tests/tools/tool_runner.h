// Runs a tool as a child process with its output captured, and the servers
// the tool tests talk to: afserve and nginx on loopback.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"

namespace asynframe::tools_test {

struct run_result {
    int code = -1;  // exit code; 128 + signal when killed; -1 when it hung
    std::string out;
    std::string err;
};

// Runs `program` with `args` (without argv[0]) and extra environment
// entries, killing it after `limit`.
run_result run_tool(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& environment = {},
                    std::chrono::milliseconds limit = std::chrono::seconds(60));

// The same on a pseudo-terminal: stdout and stderr are the terminal.
run_result run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds limit = std::chrono::seconds(60));

// A tool started in the background, with its stderr kept in a file.
class background_tool {
public:
    background_tool(const std::string& program, const std::vector<std::string>& args, const std::string& log);
    ~background_tool();
    pid_t pid() const { return _pid; }
    // Sends `signal` and waits (with a limit) for the exit code.
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    pid_t _pid = -1;
};

// The lines of a text that are not empty.
std::vector<std::string> lines_of(const std::string& text);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// A download finished: only `path` is there (no part, no record), holding `expected`.
void expect_saved_file(const std::string& path, const std::string& expected);
// `size` bytes that do not repeat in any useful way.
std::string random_bytes(std::size_t size, unsigned seed);

class afserve_server {
public:
    // `options` go after the folder and port (--tls CERT KEY, for one).
    afserve_server(const std::string& root, const std::string& log, const std::vector<std::string>& options = {});
    bool ok() const { return _ok; }
    std::uint16_t port() const { return _port; }

private:
    std::uint16_t _port;
    std::unique_ptr<harness::child_process> _process;
    bool _ok = false;
};

// nginx with one worker serving `root`, plus /old (302 to /big.bin), /loop
// (302 to itself) and /noranges/ (the same files without range support).
// With `certificate` and `key`, it speaks TLS.
class nginx_server {
public:
    nginx_server(const std::string& folder, const std::string& root, const std::string& certificate = {},
                 const std::string& key = {});
    bool ok() const { return _ok; }
    std::uint16_t port() const { return _port; }
    static bool installed();
    // The request lines nginx logged so far.
    std::string access_log() const;

private:
    std::string _folder;
    std::uint16_t _port;
    std::unique_ptr<harness::child_process> _process;
    bool _ok = false;
};

}  // namespace asynframe::tools_test

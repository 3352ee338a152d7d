// A server program a test starts: run in the background with its output
// discarded (or kept in a file), stopped with SIGTERM when the test is done.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace asynframe::harness {

class child_process {
public:
    // Starts `program` with `args` (argv[0] is the program); `output` names a
    // file for its stdout and stderr, empty for none.
    child_process(const std::string& program, const std::vector<std::string>& args, const std::string& output = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool running();
    pid_t pid() const { return _pid; }

private:
    pid_t _pid = -1;
};

// True when `path` names an executable file.
bool program_installed(const std::string& path);
// A TCP port free on 127.0.0.1 at the time of the call.
std::uint16_t free_tcp_port();
// Waits until something accepts TCP connections on 127.0.0.1:`port`, or until
// `process` ends or the limit passes.
bool wait_for_tcp(std::uint16_t port, child_process& process,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace asynframe::harness

// A server program a test starts: run in the background with its output
// discarded (or kept in a file), stopped with SIGTERM when the test is done.
//
// The programs are Linux programs on either system. A Windows test under wine
// starts one through /bin/sh, which writes the program's process id to a file
// (wine can start a Linux program but not wait for or end it), and stops it by
// starting /bin/kill the same way.
#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace asynframe::harness {

#if defined(_WIN32)
using process_id = long;
#else
using process_id = pid_t;
#endif

class child_process {
public:
    // Starts `program` with `args` (argv[0] is the program); `output` names a
    // file for its stdout and stderr, empty for none.
    child_process(const std::string& program, const std::vector<std::string>& args, const std::string& output = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool running();
    process_id pid() const { return _pid; }
    // SIGTERM, then waits (SIGKILL after `limit`); true once it has ended.
    bool stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    process_id _pid = -1;
};

// True when `path` names an executable file (a Linux path on either system).
bool program_installed(const std::string& path);
// True when `path` (a Linux path on either system) names a readable file.
bool file_readable(const std::string& path);
// Runs a shell command line with /bin/sh and waits for it; its exit status, or
// -1 when it could not run or did not end within `limit`.
int run_shell(const std::string& command, std::chrono::milliseconds limit = std::chrono::seconds(120));
// Quotes `text` as one word of a /bin/sh command line.
std::string shell_quote(const std::string& text);
// A TCP port free on 127.0.0.1 at the time of the call.
std::uint16_t free_tcp_port();
// Waits until something accepts TCP connections on 127.0.0.1:`port`, or until
// `process` ends or the limit passes.
bool wait_for_tcp(std::uint16_t port, child_process& process,
                  std::chrono::milliseconds limit = std::chrono::seconds(10));

#if defined(_WIN32)
// Starts `script` with /bin/sh -c, not waiting for it.
bool start_shell(const std::string& script);
// Whether the Linux process `pid` is alive (a process that ended but was not
// reaped yet counts as ended).
bool process_alive(process_id pid);
#endif

}  // namespace asynframe::harness

#include "common/child_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "common/loopback.h"

namespace asynframe::harness {

child_process::child_process(const std::string& program, const std::vector<std::string>& args,
                             const std::string& output) {
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    _pid = ::fork();
    if (_pid == 0) {
        const int sink = output.empty() ? ::open("/dev/null", O_RDWR)
                                        : ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(sink, 1);
        ::dup2(sink, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

child_process::~child_process() {
    if (_pid <= 0) return;
    ::kill(_pid, SIGTERM);
    ::waitpid(_pid, nullptr, 0);
}

bool child_process::running() {
    if (_pid <= 0) return false;
    if (::waitpid(_pid, nullptr, WNOHANG) == _pid) {
        _pid = -1;
        return false;
    }
    return true;
}

bool program_installed(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::uint16_t free_tcp_port() {
    const int probe = make_listener();
    const std::uint16_t port = local_port(probe);
    ::close(probe);
    return port;
}

bool wait_for_tcp(std::uint16_t port, child_process& process, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const int fd = connect_client(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (!process.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace asynframe::harness

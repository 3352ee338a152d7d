#include "common/child_process.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/portable.h"

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace asynframe::harness {

std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

#if defined(_WIN32)

namespace {

// One word of a Windows command line, as the C runtime (and wine, for a Linux
// program) splits it again.
std::string windows_quote(const std::string& text) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// A file name of this program's own under the temporary root.
std::string scratch_file(const char* kind) {
    static std::atomic<unsigned> counter{0};
    return temp_root() + "/asynframe-" + kind + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(counter++);
}

// The file's whole text once it exists (written elsewhere and renamed into
// place), or empty when it did not appear within the limit.
std::string wait_for_file(const std::string& path, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        {
            std::ifstream in(path);
            if (in) {
                std::stringstream text;
                text << in.rdbuf();
                in.close();
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
                return text.str();
            }
        }
        if (std::chrono::steady_clock::now() > end) return {};
        sleep_ms(10);
    }
}

}  // namespace

bool start_shell(const std::string& script) {
    std::string command = "/bin/sh -c " + windows_quote(script);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // Wine cannot wait on a Linux program's handle: the pid file and /proc say
    // what became of it. For a Linux program wine hands back no process handle
    // and, in hThread, whatever value was lying there: often a live handle of
    // ours (a thread's stop event), which closing here would break at random.
    if (process.hProcess != nullptr) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    return true;
}

bool process_alive(process_id pid) {
    if (pid <= 0) return false;
    std::ifstream stat("Z:/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= line.size()) return false;
    const char state = line[name_end + 2];
    return state != 'Z' && state != 'X';
}

child_process::child_process(const std::string& program, const std::vector<std::string>& args,
                             const std::string& output) {
    const std::string pid_file = scratch_file("pid");
    const std::string linux_pid_file = host_path(pid_file);
    std::string script = "echo $$ > " + shell_quote(linux_pid_file + ".new") + " && mv " +
                         shell_quote(linux_pid_file + ".new") + " " + shell_quote(linux_pid_file) + "; exec " +
                         shell_quote(program);
    for (std::size_t i = 1; i < args.size(); ++i) script += " " + shell_quote(args[i]);
    script += " </dev/null >" + (output.empty() ? std::string("/dev/null") : shell_quote(host_path(output))) + " 2>&1";
    if (!start_shell(script)) return;
    const std::string text = wait_for_file(pid_file, std::chrono::seconds(10));
    if (!text.empty()) _pid = std::strtol(text.c_str(), nullptr, 10);
}

child_process::~child_process() { stop(std::chrono::seconds(30)); }

bool child_process::running() {
    if (_pid <= 0) return false;
    if (process_alive(_pid)) return true;
    _pid = -1;
    return false;
}

bool child_process::stop(std::chrono::milliseconds limit) {
    if (_pid <= 0) return true;
    start_shell("kill -TERM " + std::to_string(_pid) + " 2>/dev/null");
    const auto end = std::chrono::steady_clock::now() + limit;
    while (process_alive(_pid)) {
        if (std::chrono::steady_clock::now() > end) {
            start_shell("kill -KILL " + std::to_string(_pid) + " 2>/dev/null");
            const auto last = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (process_alive(_pid) && std::chrono::steady_clock::now() < last) sleep_ms(10);
            break;
        }
        sleep_ms(10);
    }
    const bool ended = !process_alive(_pid);
    _pid = -1;
    return ended;
}

bool program_installed(const std::string& path) {
    // Wine sees no execute bits: a Linux program counts when it is there.
    return file_readable(path);
}

bool file_readable(const std::string& path) {
    std::ifstream in("Z:" + path);
    return static_cast<bool>(in);
}

int run_shell(const std::string& command, std::chrono::milliseconds limit) {
    const std::string status_file = scratch_file("status");
    const std::string linux_status_file = host_path(status_file);
    const std::string script = "( " + command + " ); echo $? > " + shell_quote(linux_status_file + ".new") +
                               " && mv " + shell_quote(linux_status_file + ".new") + " " +
                               shell_quote(linux_status_file);
    if (!start_shell(script)) return -1;
    const std::string text = wait_for_file(status_file, limit);
    if (text.empty()) return -1;
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

#else

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

bool child_process::stop(std::chrono::milliseconds limit) {
    if (_pid <= 0) return true;
    ::kill(_pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (::waitpid(_pid, nullptr, WNOHANG) != _pid) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
            break;
        }
        sleep_ms(10);
    }
    _pid = -1;
    return true;
}

bool program_installed(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

bool file_readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

int run_shell(const std::string& command, std::chrono::milliseconds) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

#endif

std::uint16_t free_tcp_port() {
    const sock_t probe = tcp_sock();
    const sockaddr_in address = ipv4_address("127.0.0.1", 0);
    ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(probe, 1);
    const std::uint16_t port = sock_port(probe);
    close_sock(probe);
    return port;
}

bool wait_for_tcp(std::uint16_t port, child_process& process, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const sock_t fd = tcp_sock();
        const sockaddr_in address = ipv4_address("127.0.0.1", port);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close_sock(fd);
        if (connected) return true;
        if (!process.running()) return false;
        sleep_ms(20);
    }
    return false;
}

}  // namespace asynframe::harness

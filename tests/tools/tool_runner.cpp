#include "tools/tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace asynframe::tools_test {
namespace {

std::vector<char*> argv_of(const std::string& program, std::vector<std::string>& storage,
                           const std::vector<std::string>& args) {
    storage.clear();
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& each : storage) argv.push_back(each.data());
    argv.push_back(nullptr);
    return argv;
}

// Waits for `pid` until `end`; the exit code, 128 + signal, or -1 after a kill.
int reap(pid_t pid, std::chrono::steady_clock::time_point end) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// Reads the descriptors until both end or `end` passes.
void collect(int out_fd, int err_fd, std::string& out, std::string& err,
             std::chrono::steady_clock::time_point end) {
    pollfd waits[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open = (out_fd >= 0) + (err_fd >= 0);
    if (err_fd < 0) waits[1].fd = -1;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (::poll(waits, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (waits[i].fd < 0 || waits[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(waits[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                waits[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
        }
    }
}

}  // namespace

run_result run_tool(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& environment, std::chrono::milliseconds limit) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) return {};
    std::vector<std::string> storage;
    std::vector<char*> argv = argv_of(program, storage, args);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    run_result result;
    const auto end = std::chrono::steady_clock::now() + limit;
    collect(out_pipe[0], err_pipe[0], result.out, result.err, end);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    result.code = reap(pid, end);
    return result;
}

run_result run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                           std::chrono::milliseconds limit) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argv_of(program, storage, args);
    int terminal = -1;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) return {};
    if (pid == 0) {
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    run_result result;
    const auto end = std::chrono::steady_clock::now() + limit;
    // A pty reports EIO once the child is gone.
    collect(terminal, -1, result.out, result.err, end);
    ::close(terminal);
    result.code = reap(pid, end);
    return result;
}

background_tool::background_tool(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& log) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argv_of(program, storage, args);
    _pid = ::fork();
    if (_pid == 0) {
        const int sink = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(sink, 1);
        ::dup2(sink, 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

background_tool::~background_tool() {
    if (_pid > 0) stop(SIGKILL);
}

int background_tool::stop(int signal, std::chrono::milliseconds limit) {
    if (_pid <= 0) return -1;
    ::kill(_pid, signal);
    const int code = reap(_pid, std::chrono::steady_clock::now() + limit);
    _pid = -1;
    return code;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void expect_saved_file(const std::string& path, const std::string& expected) {
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_TRUE(read_file(path) == expected) << path << " differs";
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    EXPECT_FALSE(std::filesystem::exists(path + ".part.state"));
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t value = generator();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<char>(value >> (8 * k));
    }
    return bytes;
}

afserve_server::afserve_server(const std::string& root, const std::string& log,
                               const std::vector<std::string>& options)
    : _port(harness::free_tcp_port()) {
    std::vector<std::string> args{"afserve", root, "--port", std::to_string(_port)};
    args.insert(args.end(), options.begin(), options.end());
    _process = std::make_unique<harness::child_process>(AFSERVE_PATH, args, log);
    _ok = harness::wait_for_tcp(_port, *_process);
}

bool nginx_server::installed() { return harness::program_installed("/usr/sbin/nginx"); }

nginx_server::nginx_server(const std::string& folder, const std::string& root, const std::string& certificate,
                           const std::string& key)
    : _folder(folder), _port(harness::free_tcp_port()) {
    const std::string config = folder + "/nginx-" + std::to_string(_port) + ".conf";
    {
        std::ofstream out(config);
        out << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << folder << "/nginx.pid;\n"
            << "error_log " << folder << "/nginx-error.log;\n"
            << (::geteuid() == 0 ? "user root;\n" : "") << "events { worker_connections 256; }\n"
            << "http {\n  access_log " << folder << "/nginx-access.log;\n"
            << "  client_body_temp_path " << folder << "/body;\n  proxy_temp_path " << folder << "/proxy;\n"
            << "  fastcgi_temp_path " << folder << "/fastcgi;\n  uwsgi_temp_path " << folder << "/uwsgi;\n"
            << "  scgi_temp_path " << folder << "/scgi;\n"
            << "  server {\n    listen 127.0.0.1:" << _port << (certificate.empty() ? "" : " ssl") << ";\n"
            << "    root " << root << ";\n";
        if (!certificate.empty())
            out << "    ssl_certificate " << certificate << ";\n    ssl_certificate_key " << key << ";\n";
        out << "    location = /old { return 302 /big.bin; }\n"
            << "    location = /loop { return 302 /loop; }\n"
            << "    location /noranges/ { alias " << root << "/; max_ranges 0; }\n"
            << "  }\n}\n";
    }
    _process = std::make_unique<harness::child_process>(
        "/usr/sbin/nginx", std::vector<std::string>{"nginx", "-c", config, "-p", folder});
    _ok = harness::wait_for_tcp(_port, *_process);
}

std::string nginx_server::access_log() const { return read_file(_folder + "/nginx-access.log"); }

}  // namespace asynframe::tools_test

// The layers depend in one direction only: platform <- support <- engine <-
// component <- subsystems <- frame. A source that includes a header of a layer
// above its own fails here, naming the file and the include.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const std::set<std::string> subsystems = {"socket", "file", "proxy", "speed", "tls", "dns"};

// The layers each folder of src/ may include from.
std::set<std::string> allowed_for(const std::string& layer) {
    std::set<std::string> allowed = {"platform"};
    if (layer == "platform") return allowed;
    allowed.insert("support");
    if (layer == "support") return allowed;
    allowed.insert("engine");
    if (layer == "engine") return allowed;
    allowed.insert("component");
    if (layer == "component") return allowed;
    allowed.insert(subsystems.begin(), subsystems.end());
    if (subsystems.count(layer) != 0) return allowed;
    allowed.insert("frame");
    return allowed;
}

TEST(Layering, NoSourceIncludesALayerAboveItsOwn) {
    const fs::path source_root = fs::path(ASYNFRAME_SOURCE_DIR) / "src";
    const std::regex include_line(R"(^\s*#\s*include\s+"([a-z_]+)/)");
    std::vector<std::string> violations;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(source_root)) {
        if (!entry.is_regular_file()) continue;
        const std::string extension = entry.path().extension().string();
        if (extension != ".h" && extension != ".cpp" && extension != ".c") continue;
        const std::string layer = fs::relative(entry.path(), source_root).begin()->string();
        const std::set<std::string> allowed = allowed_for(layer);
        std::ifstream in(entry.path());
        std::string line;
        ++files;
        while (std::getline(in, line)) {
            std::smatch match;
            if (!std::regex_search(line, match, include_line)) continue;
            const std::string target = match[1].str();
            if (target == "asynframe") continue;  // the public headers
            if (allowed.count(target) == 0)
                violations.push_back(fs::relative(entry.path(), source_root).string() + ": " + line);
        }
    }
    EXPECT_GT(files, 50u);
    for (const std::string& violation : violations) ADD_FAILURE() << violation;
}

// Everything outside src/platform/<os>/ builds on every system: it names no
// header, type or errno value of one system. The neutral headers of
// src/platform/ are held to the same rule.
TEST(Layering, NoSystemHeaderTypeOrErrnoNameAboveThePlatformFolders) {
    const fs::path source_root = fs::path(ASYNFRAME_SOURCE_DIR) / "src";
    const std::regex system_include(
        R"(^\s*#\s*include\s*<(sys/|unistd\.h|fcntl\.h|poll\.h|netinet/|netdb\.h|arpa/|pthread\.h|dlfcn\.h|)"
        R"(liburing|openssl/|cerrno|errno\.h|windows\.h|winsock2\.h|ws2tcpip\.h|mswsock\.h))");
    const std::regex errno_name(R"(\bE(AGAIN|WOULDBLOCK|INTR|INVAL|NOMEM|BADF|NOENT|EXIST|ACCES|PERM|NOTSUP|OPNOTSUPP|)"
                                R"(CONNREFUSED|CONNRESET|TIMEDOUT|INPROGRESS|PIPE|MFILE|NFILE|NOBUFS|CANCELED|MSGSIZE|)"
                                R"(AFNOSUPPORT|ADDRINUSE|NOSPC|IO|FAULT|ISDIR|NOTDIR|NOTCONN|HOSTUNREACH|NETUNREACH)\b)");
    const std::regex posix_type(R"(\b(ssize_t|socklen_t|pid_t|off_t|mode_t|timespec|iovec|msghdr|sockaddr\w*|pollfd|)"
                                R"(pthread_\w+|epoll_event|io_uring\w*)\b)");
    std::vector<std::string> violations;
    for (const auto& entry : fs::recursive_directory_iterator(source_root)) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), source_root);
        auto part = relative.begin();
        if (part->string() == "platform" && std::next(part) != relative.end() &&
            std::next(std::next(part)) != relative.end())
            continue;  // src/platform/<os>/...
        const std::string extension = entry.path().extension().string();
        if (extension != ".h" && extension != ".cpp") continue;
        std::ifstream in(entry.path());
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            const std::string code = line.substr(0, line.find("//"));
            if (std::regex_search(code, system_include) || std::regex_search(code, errno_name) ||
                std::regex_search(code, posix_type))
                violations.push_back(relative.string() + ":" + std::to_string(number) + ": " + line);
        }
    }
    for (const std::string& violation : violations) ADD_FAILURE() << violation;
}

// IUnknown is written once, by the interface table of asynframe/com_helpers.h;
// a hand-written QueryInterface is where a missing AddRef or a wrong face
// hides.
TEST(Layering, EveryQueryInterfaceComesFromTheInterfaceTable) {
    const std::regex hand_written(R"(QueryInterface\s*\(\s*REFIID[^)]*\)\s*override)");
    std::vector<std::string> violations;
    for (const char* folder : {"src", "include", "tests", "bench", "tools", "examples"}) {
        const fs::path root = fs::path(ASYNFRAME_SOURCE_DIR) / folder;
        if (!fs::exists(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp")) continue;
            if (entry.path().filename() == "com_helpers.h") continue;
            std::ifstream in(entry.path());
            std::string line;
            int number = 0;
            while (std::getline(in, line)) {
                ++number;
                if (std::regex_search(line, hand_written))
                    violations.push_back(entry.path().string() + ":" + std::to_string(number));
            }
        }
    }
    for (const std::string& violation : violations) ADD_FAILURE() << violation;
}

}  // namespace

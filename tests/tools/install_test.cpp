// What `cmake --install` puts in place works on its own: the tools find the
// installed library, pkg-config describes it, and a project finds it with
// find_package.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tool_runner.h"

namespace {

using namespace asynframe::tools_test;

class scratch {
public:
    scratch() {
        char pattern[] = "/tmp/asynframe-install-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) path = pattern;
    }
    ~scratch() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

TEST(InstallTest, TheInstalledTreeServesToolsPkgConfigAndFindPackage) {
    scratch prefix;
    ASSERT_FALSE(prefix.path.empty());
    const run_result installed =
        run_tool(CMAKE_COMMAND_PATH, {"--install", ASYNFRAME_BINARY_DIR, "--prefix", prefix.path});
    ASSERT_EQ(0, installed.code) << installed.err;

    // A tool finds the library beside its own folder, with nothing set.
    const run_result resolved = run_tool(prefix.path + "/bin/afresolve", {"localhost"});
    EXPECT_EQ(0, resolved.code) << resolved.err;
    EXPECT_NE(std::string::npos, resolved.out.find("127.0.0.1"));

    // Nothing of the build tree's library is compiled in: a tool moved away
    // from the prefix finds no library, unless it is told where one is.
    const std::string library_folder = std::string(ASYNFRAME_BINARY_DIR) + "/src";
    for (const char* tool : {"afget", "afserve", "afresolve", "afproxy-check"})
        EXPECT_EQ(read_file(prefix.path + "/bin/" + tool).find(library_folder), std::string::npos) << tool;
    scratch elsewhere;
    std::filesystem::copy_file(prefix.path + "/bin/afresolve", elsewhere.path + "/afresolve");
    std::filesystem::permissions(elsewhere.path + "/afresolve", std::filesystem::perms::owner_all);
    const run_result lost = run_tool(elsewhere.path + "/afresolve", {"localhost"});
    EXPECT_EQ(1, lost.code) << lost.out;
    EXPECT_NE(std::string::npos, lost.err.find("libasynframe.so not found")) << lost.err;
    const std::string installed_library = prefix.path + "/lib/libasynframe.so.1";
    EXPECT_EQ(0, run_tool(elsewhere.path + "/afresolve", {"localhost"}, {{"ASYNFRAME_LIBRARY", installed_library}}).code);
    EXPECT_EQ(0, run_tool(elsewhere.path + "/afresolve", {"--library", installed_library, "localhost"}).code);

    const std::string pkg_config = "/usr/bin/pkg-config";
    if (std::filesystem::exists(pkg_config)) {
        const run_result flags = run_tool(pkg_config, {"--cflags", "--libs", "asynframe"},
                                          {{"PKG_CONFIG_PATH", prefix.path + "/lib/pkgconfig"}});
        EXPECT_EQ(0, flags.code) << flags.err;
        EXPECT_NE(std::string::npos, flags.out.find("-lasynframe"));
        // The include folder named is the installed one, wherever the prefix is.
        const std::size_t at = flags.out.find("-I");
        ASSERT_NE(std::string::npos, at);
        const std::string folder = flags.out.substr(at + 2, flags.out.find_first_of(" \n", at) - at - 2);
        EXPECT_TRUE(std::filesystem::exists(folder + "/asynframe/asynframe.h")) << folder;
    }

    // A project of a host's: its headers and the imported target.
    scratch project;
    write_file(project.path + "/CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.25)\nproject(host CXX)\nset(CMAKE_CXX_STANDARD 20)\n"
               "find_package(asynframe 1 REQUIRED)\nadd_executable(host main.cpp)\n"
               "target_link_libraries(host asynframe::asynframe)\n");
    write_file(project.path + "/main.cpp",
               "#include \"asynframe/asynframe.h\"\n"
               "int main() { return asynframe::IID_IAsynFrame.Data1 == 0 ? 1 : 0; }\n");
    const run_result configured =
        run_tool(CMAKE_COMMAND_PATH, {"-S", project.path, "-B", project.path + "/build", "-G", "Ninja",
                                      "-DCMAKE_PREFIX_PATH=" + prefix.path,
                                      // A sanitized library needs a host built the same way.
                                      std::string("-DCMAKE_CXX_FLAGS=") + ASYNFRAME_CXX_FLAGS,
                                      std::string("-DCMAKE_EXE_LINKER_FLAGS=") + ASYNFRAME_EXE_LINKER_FLAGS});
    ASSERT_EQ(0, configured.code) << configured.out << configured.err;
    const run_result built = run_tool(CMAKE_COMMAND_PATH, {"--build", project.path + "/build"});
    ASSERT_EQ(0, built.code) << built.out << built.err;
    EXPECT_EQ(0, run_tool(project.path + "/build/host", {}).code);
}

}  // namespace

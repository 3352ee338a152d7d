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

}  // namespace

#include "afget/state.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace asynframe::tools {

std::optional<download_state> load_state(const std::string& path, std::string& why) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    why = "its record " + path + " is unreadable";
    std::string line, magic;
    if (!std::getline(in, line)) return std::nullopt;
    download_state state;
    {
        std::istringstream first(line);
        std::string rest;
        if (!(first >> magic >> state.size) || (magic != "afget-state-1" && magic != "afget-state-2") ||
            (first >> rest))
            return std::nullopt;
    }
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line.rfind("validator ", 0) == 0 && magic == "afget-state-2") {
            state.validator = line.substr(10);
            continue;
        }
        std::istringstream fields(line);
        piece each;
        std::string rest;
        if (!(fields >> each.start >> each.end >> each.written) || (fields >> rest)) return std::nullopt;
        state.pieces.push_back(each);
    }
    // The ranges must cover the file exactly, in order, without gaps or
    // overlaps; anything else would leave holes or mix bytes up.
    why = "its record " + path + " does not describe the file";
    std::uint64_t next = 0;
    for (const piece& each : state.pieces) {
        if (each.start != next || each.end <= each.start || each.end > state.size ||
            each.written > each.end - each.start)
            return std::nullopt;
        next = each.end;
    }
    if (state.pieces.empty() || next != state.size) return std::nullopt;
    why.clear();
    return state;
}

bool save_state(const std::string& path, const download_state& state) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "afget-state-2 " << state.size << "\n";
        if (!state.validator.empty()) out << "validator " << state.validator << "\n";
        for (const piece& each : state.pieces) out << each.start << " " << each.end << " " << each.written << "\n";
        out.flush();
        if (!out) {
            out.close();
            ::unlink(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace asynframe::tools

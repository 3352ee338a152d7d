#include "support/assert.h"

#include <cstdio>
#include <cstdlib>

namespace asynframe {

std::string assertion_text(const char* expression, const std::string& detail, const char* file, int line) {
    std::string text = expression;
    text += " not true, detail: ";
    text += detail;
    text += " file: ";
    text += file;
    text += " line: ";
    text += std::to_string(line);
    return text;
}

void assertion_failed(const char* expression, const std::string& detail, const char* file, int line) noexcept {
    try {
        const std::string text = assertion_text(expression, detail, file, line);
        std::fprintf(stderr, "asynframe: fatal exception 0x%08X: %s\n", assertion_exception_code, text.c_str());
    } catch (...) {
        std::fputs("asynframe: fatal exception 0xE0008001\n", stderr);
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace asynframe

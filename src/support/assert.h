// The framework assertion: a broken precondition ends the process.
#pragma once

#include <string>

namespace asynframe {

// Builds the assertion text: "<expr> not true, detail: <detail> file: <file> line: <line>".
std::string assertion_text(const char* expression, const std::string& detail, const char* file, int line);

// Writes the text to stderr and aborts. Nothing can catch it and continue: it stands
// in for the non-continuable system exception 0xE0008001 of the Windows build.
[[noreturn]] void assertion_failed(const char* expression, const std::string& detail, const char* file,
                                   int line) noexcept;

// The file name as assertions report it: the part after the last path separator.
constexpr const char* assertion_file_name(const char* path) noexcept {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

inline constexpr unsigned assertion_exception_code = 0xE0008001u;

}  // namespace asynframe

// vortan_assert(expression, detail): the detail is usually the text "vortan_assert".
#define vortan_assert(expression, detail)                                                         \
    do {                                                                                          \
        if (!(expression))                                                                        \
            ::asynframe::assertion_failed(#expression, (detail),                                  \
                                          ::asynframe::assertion_file_name(__FILE__), __LINE__); \
    } while (false)

// Same, for the places where the reported expression text and source are fixed
// rather than taken from the call site.
#define vortan_assert_text(condition, expression_text, detail, file, line)          \
    do {                                                                            \
        if (!(condition)) ::asynframe::assertion_failed((expression_text), (detail), (file), (line)); \
    } while (false)

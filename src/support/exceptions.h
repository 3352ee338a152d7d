// Exceptions raised inside the engine; component objects catch them and turn
// them into completed operations or result codes.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace asynframe {

// "<message>, error code: <code as unsigned decimal>"
std::string error_code_text(const std::string& message, std::uint32_t code);

class io_exception : public std::runtime_error {
public:
    explicit io_exception(const std::string& message) : std::runtime_error(message) {}
};

class file_exception : public io_exception {
public:
    file_exception(const std::string& message, std::uint32_t code)
        : io_exception(message), _code(code), _text(error_code_text(message, code)) {}
    std::uint32_t code() const noexcept { return _code; }
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::uint32_t _code;
    std::string _text;
};

class socket_exception : public std::exception {
public:
    socket_exception(const std::string& message, std::uint32_t code)
        : _code(code), _text(error_code_text(message, code)) {}
    std::uint32_t code() const noexcept { return _code; }
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::uint32_t _code;
    std::string _text;
};

class proxy_exception : public std::exception {
public:
    explicit proxy_exception(std::string message) : _text(std::move(message)) {}
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::string _text;
};

class format_exception : public std::runtime_error {
public:
    explicit format_exception(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace asynframe

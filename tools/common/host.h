// The host side every tool shares: loading libasynframe.so, one frame on its
// own engine thread, a settings provider the tool fills, operations whose
// completions go to std::function callbacks, and a blocking run until the
// tool's job says it is done (or a signal ends it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <mutex>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "asynframe/asynframe.h"
#include "asynframe/com_helpers.h"

namespace asynframe::tools {

// Exit codes shared by the tools.
enum exit_code : int {
    exit_ok = 0,
    exit_failure = 1,       // I/O or any other failure
    exit_usage = 2,         // bad command line
    exit_dns = 3,           // a name did not resolve
    exit_connect = 4,       // a connection could not be made or broke
    exit_tls = 5,           // the TLS handshake or certificate check failed
    exit_proxy = 6,         // the proxy refused or failed
    exit_http = 7,          // the server answered with an error status
    exit_protocol = 8,      // a broken or short answer
    exit_interrupted = 130  // SIGINT or SIGTERM
};

// A failure before the frame runs: the tool prints the text and exits.
class tool_error : public std::runtime_error {
public:
    tool_error(int code, const std::string& text) : std::runtime_error(text), _code(code) {}
    int code() const noexcept { return _code; }

private:
    int _code;
};

// Prints "<tool>: <text>" on one line to stderr; the text's own line breaks
// are flattened so a message always stays one line.
void print_error(const std::string& text);
// The name messages start with (argv[0]'s last part).
void set_tool_name(const char* argv0);
const std::string& tool_name();

// Owns one reference of a component interface.
template <class T>
using ref = ref_ptr<T>;

// Texts a tool hands to the frame's settings reader, by section and key. A
// member of the host, which outlives the frame.
using settings_provider = map_settings;

// Receives one text from the library.
class string_receiver final : public com_interfaces<string_receiver, IStringSetter>, public owner_held {
public:
    using interfaces = single_interface<IID_IStringSetter, IStringSetter>;
    HRESULT ASYNFRAME_STDCALL SetString(UINT length, const char* bytes) override {
        value.assign(bytes != nullptr ? bytes : "", length);
        return S_OK;
    }
    std::string value;
};

// One operation object of the frame whose completions call a function.
// Dispatch thread only. Destroying it cuts the operation loose, so a request
// still in flight completes silently.
class operation {
public:
    using callback = std::function<void(DWORD error, DWORD bytes)>;

    // A new operation, with a buffer of `buffer_size` bytes when not 0.
    // Throws tool_error when the frame refuses.
    operation(IAsynFrame* frame, DWORD buffer_size = 0);
    ~operation();
    operation(const operation&) = delete;
    operation& operator=(const operation&) = delete;

    IAsynIoOperation* get() const noexcept { return _operation; }
    // The buffer as last allocated through this object: asked on every
    // request, so kept here rather than asked of the operation.
    BYTE* buffer() const noexcept { return _buffer; }
    DWORD buffer_size() const noexcept { return _buffer_size; }
    // Replaces the buffer with one of `size` bytes; false when out of memory
    // (the operation then has none).
    bool reallocate(DWORD size);
    // The callback of the next completion; it is taken out before it runs, so
    // it may set the next one (or destroy this object).
    void on_complete(callback next);
    // Sets the range; false when the operation refuses it.
    bool range(DWORD start, DWORD length);
    void position(std::uint64_t at);

private:
    class sink;
    sink* _sink = nullptr;
    IAsynIoOperation* _operation = nullptr;
    BYTE* _buffer = nullptr;
    DWORD _buffer_size = 0;
};

// The library, one frame, and the blocking run.
class host {
public:
    // Loads the library: `path` when not empty, otherwise $ASYNFRAME_LIBRARY,
    // the file next to the program, ../lib beside it, then the build tree's.
    explicit host(const std::string& path = {});
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    settings_provider& settings() noexcept { return _settings; }
    IAsynFrame3* frame() const noexcept { return _frame; }

    // Initialises the frame, calls `start` on the dispatch thread and blocks
    // until finish() (or SIGINT/SIGTERM, which call `interrupted` on the
    // dispatch thread when given, and finish with exit_interrupted otherwise).
    // `stop` then runs on the dispatch thread to release every object of the
    // job before the frame stops. Returns the finish code.
    int run(const std::function<void()>& start, const std::function<void()>& stop,
            const std::function<void()>& interrupted = {});
    // Any thread. Ends the run with `code`; a non-empty text is printed as
    // the one-line message. Only the first call counts.
    void finish(int code, const std::string& text = {});
    bool finished() const noexcept { return _finished; }
    // Runs `work` on the dispatch thread at a later turn, after the callback
    // that called this has returned (so it may destroy that callback's object).
    void post(std::function<void()> work);

private:
    class message_sink;
    void* _library = nullptr;
    IAsynFrame3* _frame = nullptr;
    IAsynFramePlugin* _plugin = nullptr;
    settings_provider _settings;
    message_sink* _messages = nullptr;
    std::atomic<bool> _finished{false};
    std::atomic<int> _code{0};
    int _wake = -1;
};

// A repeating frame timer calling a function on the dispatch thread; created
// and destroyed there.
class timer {
public:
    timer(IAsynFrame* frame, DWORD period_ms, std::function<void()> tick);
    ~timer();
    timer(const timer&) = delete;
    timer& operator=(const timer&) = delete;

private:
    class sink;
    IAsynFrame* _frame;
    sink* _sink;
};

// Winsock and system codes of completions as short words.
std::string describe_error(DWORD error);
// The 64-bit size as the two halves the frame's slots take.
inline DWORD low_half(std::uint64_t value) { return static_cast<DWORD>(value & 0xFFFFFFFFu); }
inline DWORD high_half(std::uint64_t value) { return static_cast<DWORD>(value >> 32); }

}  // namespace asynframe::tools

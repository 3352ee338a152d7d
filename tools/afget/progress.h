// What a download shows while it runs: a bar that fits the terminal, or one
// plain line a second when standard error is not a terminal. Both carry the
// same fields: size, percent, current speed, and the time left (or, at the
// end, the time taken).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace asynframe::tools {

enum class progress_mode { automatic, bar, lines, none };

// "1:05", "12:00:03"; whole seconds.
std::string clock_text(double seconds);

class progress_view {
public:
    using clock = std::chrono::steady_clock;

    progress_view(progress_mode mode, std::string name);
    ~progress_view();

    // Called often (every tick); draws at its own pace. `done` counts bytes
    // already there before this run too; `fresh` only this run's.
    void update(std::uint64_t done, std::uint64_t fresh, std::optional<std::uint64_t> total);
    // The last state, with the time taken instead of the time left; ends
    // the bar's line.
    void finish(std::uint64_t done, std::uint64_t fresh, std::optional<std::uint64_t> total);
    // A message of its own: on a line of its own, the bar redrawn after it.
    void note(const std::string& text);
    // Ends the bar's line, so what is printed next starts on a clean one.
    void close();

    double seconds() const;
    // Bytes a second over the last few seconds.
    double current_rate() const;

private:
    std::string line_text(std::uint64_t done, std::optional<std::uint64_t> total, double rate, bool final,
                          std::size_t width) const;
    void draw(const std::string& text, std::size_t width);
    void sample(std::uint64_t fresh);

    progress_mode _mode;
    std::string _name;
    clock::time_point _begin, _last_draw;
    bool _drawn = false;
    std::size_t _drawn_length = 0;
    std::size_t _drawn_width = 0;
    std::deque<std::pair<clock::time_point, std::uint64_t>> _samples;
};

}  // namespace asynframe::tools

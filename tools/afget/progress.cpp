#include "afget/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "common/http.h"

namespace asynframe::tools {
namespace {

// The speed shown is over this window: fast enough to follow a change,
// slow enough not to flicker.
constexpr auto speed_window = std::chrono::seconds(5);
constexpr auto bar_period = std::chrono::milliseconds(200);
constexpr auto line_period = std::chrono::seconds(1);

// Asked at every redraw, so a resized terminal is followed at once.
std::size_t terminal_width() {
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

std::string clock_text(double seconds) {
    if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:--";
    const long total = std::lround(seconds);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

progress_view::progress_view(progress_mode mode, std::string name) : _name(std::move(name)) {
    if (mode == progress_mode::automatic) mode = ::isatty(2) ? progress_mode::bar : progress_mode::lines;
    _mode = mode;
    _begin = _last_draw = clock::now();
    _samples.emplace_back(_begin, 0);
}

progress_view::~progress_view() { close(); }

double progress_view::seconds() const { return std::chrono::duration<double>(clock::now() - _begin).count(); }

void progress_view::sample(std::uint64_t fresh) {
    const clock::time_point now = clock::now();
    _samples.emplace_back(now, fresh);
    while (_samples.size() > 2 && now - _samples[1].first >= speed_window) _samples.pop_front();
}

double progress_view::current_rate() const {
    if (_samples.size() < 2) return 0;
    const auto& [first_time, first_bytes] = _samples.front();
    const auto& [last_time, last_bytes] = _samples.back();
    const double span = std::chrono::duration<double>(last_time - first_time).count();
    return span > 0 && last_bytes >= first_bytes ? static_cast<double>(last_bytes - first_bytes) / span : 0;
}

std::string progress_view::line_text(std::uint64_t done, std::optional<std::uint64_t> total, double rate,
                                     bool final, std::size_t width) const {
    const bool sized = total && *total > 0;
    std::string percent, amounts = human_bytes(static_cast<double>(done)), timing;
    if (sized) {
        percent = std::to_string(std::min<std::uint64_t>(100, done * 100 / *total)) + "%";
        amounts += (_mode == progress_mode::lines ? " of " : "/") + human_bytes(static_cast<double>(*total));
    }
    const std::string speed = human_bytes(rate) + "/s";
    if (final)
        timing = "in " + clock_text(seconds());
    else if (sized)
        timing = "ETA " + (rate > 0 ? clock_text(static_cast<double>(*total - std::min(done, *total)) / rate)
                                    : std::string("--:--"));
    else
        timing = clock_text(seconds()) + " elapsed";

    if (_mode == progress_mode::lines)
        return "afget: " + _name + ": " + (sized ? percent + " " : "") + amounts + ", " + speed + ", " + timing;

    // The bar: fields padded to steady widths so the bar does not jitter;
    // the total goes first, then the bar, when the terminal is narrow.
    const auto pad = [](const std::string& text, std::size_t width) {
        return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
    };
    const std::string done_text = human_bytes(static_cast<double>(done));
    const std::string tail = " " + pad(speed, 12) + " " + pad(timing, 9);
    const std::string head = sized ? " " + pad(percent, 4) : std::string();
    const std::size_t usable = width > 1 ? width - 1 : 1;  // the last column would wrap on some terminals
    std::vector<std::string> choices{head + " " + pad(amounts, sized ? 21 : 10) + tail};
    if (sized) choices.push_back(head + " " + pad(done_text, 10) + tail);
    std::string right;
    std::size_t bar = 0, name_width = 0;
    for (const std::string& choice : choices) {
        if (choice.size() >= usable) continue;
        const std::size_t room = usable - choice.size();
        const std::size_t name_fit = std::min<std::size_t>(_name.size(), std::max<std::size_t>(6, room / 3));
        if (sized && room >= name_fit + 3 + 8) {
            right = choice;
            name_width = name_fit;
            bar = room - name_fit - 3;
            break;
        }
    }
    if (right.empty()) {
        // No room for a bar: the fields alone, the name in what is left.
        right = sized ? head + " " + done_text + " " + speed + " " + timing : " " + done_text + " " + speed + " " + timing;
        if (right.size() > usable) right = right.substr(0, usable);
        name_width = std::min(_name.size(), usable - right.size());
    }
    std::string text = _name.substr(0, name_width);
    if (bar > 0) {
        const std::size_t filled = static_cast<std::size_t>(std::min<std::uint64_t>(done, *total) * bar / *total);
        std::string inside(bar, ' ');
        for (std::size_t i = 0; i < filled; ++i) inside[i] = '=';
        if (filled < bar && filled > 0) inside[filled] = '>';
        text += " [" + inside + "]";
    }
    text += right;
    return text;
}

void progress_view::draw(const std::string& text, std::size_t width) {
    std::string out = "\r";
    // A narrower terminal folds the last line it showed onto more rows:
    // climb back to its first row so nothing of it stays behind.
    if (_drawn && width < _drawn_width && _drawn_length > width) {
        const std::size_t rows = (_drawn_length + width - 1) / width - 1;
        if (rows > 0) out += "\x1b[" + std::to_string(rows) + "A";
    }
    out += text + "\x1b[J";
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    _drawn = true;
    _drawn_length = text.size();
    _drawn_width = width;
}

void progress_view::update(std::uint64_t done, std::uint64_t fresh, std::optional<std::uint64_t> total) {
    sample(fresh);
    if (_mode == progress_mode::none) return;
    const clock::time_point now = clock::now();
    if (now - _last_draw < (_mode == progress_mode::bar ? bar_period : line_period)) return;
    _last_draw = now;
    if (_mode == progress_mode::lines) {
        std::fprintf(stderr, "%s\n", line_text(done, total, current_rate(), false, 0).c_str());
        std::fflush(stderr);
        return;
    }
    const std::size_t width = terminal_width();
    draw(line_text(done, total, current_rate(), false, width), width);
}

void progress_view::finish(std::uint64_t done, std::uint64_t fresh, std::optional<std::uint64_t> total) {
    sample(fresh);
    if (_mode == progress_mode::none) return;
    const double elapsed = seconds();
    const double average = elapsed > 0 ? static_cast<double>(fresh) / elapsed : 0;
    if (_mode == progress_mode::lines) {
        std::fprintf(stderr, "%s\n", line_text(done, total, average, true, 0).c_str());
        std::fflush(stderr);
        return;
    }
    const std::size_t width = terminal_width();
    draw(line_text(done, total, average, true, width), width);
    close();
}

void progress_view::note(const std::string& text) {
    if (_drawn) std::fputs("\r\x1b[J", stderr);
    _drawn = false;
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void progress_view::close() {
    if (_drawn) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    _drawn = false;
}

}  // namespace asynframe::tools

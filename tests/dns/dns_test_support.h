// Helpers of the name-resolution tests: a hand-built reply writer, a settable
// clock and a temporary folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/tick.h"

namespace asynframe::dns_test {

// Writes DNS messages byte by byte, so tests control every field.
struct wire {
    std::vector<unsigned char> bytes;

    wire& u8(unsigned v) {
        bytes.push_back(static_cast<unsigned char>(v));
        return *this;
    }
    wire& u16(unsigned v) { return u8(v >> 8).u8(v & 0xFF); }
    wire& u32(std::uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
    wire& label(const std::string& text) {
        u8(static_cast<unsigned>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    // Uncompressed name ending with the zero byte.
    wire& name(const std::string& dotted) {
        std::size_t start = 0;
        while (start < dotted.size()) {
            std::size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) dot = dotted.size();
            label(dotted.substr(start, dot - start));
            start = dot + 1;
        }
        return u8(0);
    }
    wire& pointer(unsigned offset) { return u8(0xC0 | (offset >> 8)).u8(offset & 0xFF); }
    // Reply header: QR set, RD and RA set.
    wire& header(unsigned id, unsigned rcode, unsigned qdcount, unsigned ancount) {
        return u16(id).u8(0x81).u8(0x80 | rcode).u16(qdcount).u16(ancount).u16(0).u16(0);
    }
    wire& question(const std::string& dotted, unsigned type = 1) { return name(dotted).u16(type).u16(1); }
    // Fixed part of a record whose owner name was written just before.
    wire& rr(unsigned type, unsigned rr_class, std::uint32_t ttl, unsigned rdlength) {
        return u16(type).u16(rr_class).u32(ttl).u16(rdlength);
    }
    wire& a(unsigned b0, unsigned b1, unsigned b2, unsigned b3) { return u8(b0).u8(b1).u8(b2).u8(b3); }
    wire& aaaa(const unsigned char (&b)[16]) {
        bytes.insert(bytes.end(), b, b + 16);
        return *this;
    }
    std::uint32_t size() const { return static_cast<std::uint32_t>(bytes.size()); }
    const unsigned char* data() const { return bytes.data(); }
};

// A clock the test moves by hand; restores the real one when it goes.
class manual_clock {
public:
    explicit manual_clock(std::uint32_t start) {
        now().store(start);
        _previous = platform::set_tick_source(&read);
    }
    ~manual_clock() { platform::set_tick_source(_previous); }
    manual_clock(const manual_clock&) = delete;
    manual_clock& operator=(const manual_clock&) = delete;

    void set(std::uint32_t tick) { now().store(tick); }
    void advance(std::uint32_t ms) { now().fetch_add(ms); }

private:
    static std::atomic<std::uint32_t>& now() {
        static std::atomic<std::uint32_t> value{0};
        return value;
    }
    static std::uint32_t read() noexcept { return now().load(); }
    platform::tick_source _previous;
};

// A fresh folder under the system's temporary folder, removed with its content.
class temp_folder {
public:
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;

    const std::filesystem::path& path() const { return _path; }
    std::string file(const std::string& name) const { return (_path / name).string(); }
    // Writes `content` byte for byte to the named file; returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;

private:
    std::filesystem::path _path;
};

}  // namespace asynframe::dns_test

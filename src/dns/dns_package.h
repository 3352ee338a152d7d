// The wire format of the resolver: one A/IN query per name, and the decoding of
// a reply's header, question and answer section into plain records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/exceptions.h"

namespace asynframe {

// Record types the resolver asks for and reads.
inline constexpr std::uint16_t dns_type_a = 1;
inline constexpr std::uint16_t dns_type_cname = 5;
inline constexpr std::uint16_t dns_type_aaaa = 28;

// Builds the standard query for the IPv4 (type A) or IPv6 (type AAAA)
// addresses of one name.
class dns_package {
public:
    dns_package(std::string name, std::int32_t id, std::uint16_t type = dns_type_a)
        : _name(std::move(name)), _id(id), _type(type) {}
    virtual ~dns_package() = default;

    // On entry `length` is the capacity of `buffer`; on return, the number of
    // bytes written. Raises format_exception ("label too long.", "domain too
    // long!", "put bytes error!", "put short error!"); the buffer content is then
    // unspecified.
    void encode(unsigned char* buffer, std::uint32_t& length);

    // The two writers every field goes through: `remaining` counts down,
    // `position` counts up.
    static void put_byte(unsigned char* buffer, std::uint32_t& remaining, std::uint32_t& position,
                         std::uint32_t value);
    static void put_short(unsigned char* buffer, std::uint32_t& remaining, std::uint32_t& position,
                          std::uint32_t value);

    const std::string& name() const noexcept { return _name; }
    std::int32_t id() const noexcept { return _id; }
    std::uint16_t type() const noexcept { return _type; }
    std::uint32_t position() const noexcept { return _position; }

private:
    std::string _name;
    std::int32_t _id;  // only the low 16 bits reach the wire
    std::uint16_t _type;
    std::uint32_t _position = 0;
};

// One decoded resource record.
class rrecord {
public:
    // Stamps `created` with the current tick.
    rrecord(std::string name, std::int32_t type, std::int32_t rr_class, std::uint32_t ttl, std::string address,
            std::string cname);
    // With the decoding tick given, so all records of one reply share it.
    rrecord(std::string name, std::int32_t type, std::int32_t rr_class, std::uint32_t ttl, std::string address,
            std::string cname, std::uint32_t created);
    virtual ~rrecord() = default;
    rrecord(const rrecord&) = default;
    rrecord& operator=(const rrecord&) = default;
    rrecord(rrecord&&) noexcept = default;
    rrecord& operator=(rrecord&&) noexcept = default;

    std::string name;      // owner name, without a trailing dot
    std::int32_t type;     // 1 A, 5 CNAME, 28 AAAA; others pass through
    std::int32_t rr_class; // always 1 (IN) for decoded records
    std::uint32_t ttl;     // seconds; one received with the top bit set is 0
    std::uint32_t created; // tick when the reply was decoded
    std::string address;   // dotted text for an A record with 4 data bytes; RFC 5952
                           // text for an AAAA record with 16
    std::string cname;     // canonical name for a CNAME record
};

// Decodes one reply datagram at construction. It reads the caller's buffer in
// place and keeps a pointer to it: the buffer must outlive the object.
// Decoding never raises; malformed input, such as a name longer than
// max_name_octets or one behind more than max_pointer_hops pointers, stops it
// with what was decoded so far.
class adns_answer {
public:
    adns_answer(const unsigned char* data, std::uint32_t length);
    virtual ~adns_answer() = default;
    adns_answer(const adns_answer&) = delete;
    adns_answer& operator=(const adns_answer&) = delete;

    // Decodes one possibly compressed name at `start` (inside the datagram),
    // reading at most `limit` bytes there, and appends its dotted text to `out`.
    // Returns the bytes the name occupies at `start` (a compression pointer
    // counts 2), or -1.
    int read_name(const unsigned char* start, std::uint32_t limit, std::string& out) const;

    // Decodes one resource record at `cursor` (with `remaining` bytes left),
    // advances the cursor past it and appends at most one record. Returns the
    // bytes consumed, or -1.
    int parse_record(const unsigned char*& cursor, std::uint32_t remaining, std::vector<rrecord>& out) const;

    const unsigned char* data = nullptr;
    std::uint32_t length = 0;
    bool valid = false;
    std::int32_t rcode = -1;
    // TC: the server had more to say than one datagram holds.
    bool truncated = false;
    std::string question_name;
    std::uint16_t question_type = 0;  // 0 when the question did not decode
    std::uint32_t id = 0;
    std::vector<rrecord> records;

    // Compression pointers followed while reading one name; more is taken for
    // a loop or an attempt to inflate the reply. Real replies need one or two.
    static constexpr int max_pointer_hops = 16;
    // Longest name, in wire octets (length bytes, labels and the final zero, as
    // RFC 1035 counts them) summed across every pointer followed. A longer name
    // makes the reply malformed, so no reply decodes to more than this per name.
    static constexpr std::uint32_t max_name_octets = 255;

private:
    std::uint32_t _decoded;  // tick stamped on every record of this reply

    // `octets` counts the wire octets of the labels read so far for this name.
    int read_name_at(std::uint32_t offset, std::uint32_t limit, std::string& out, int hops,
                     std::uint32_t& octets) const;
};

}  // namespace asynframe

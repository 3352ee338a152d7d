#include "dns/dns_package.h"

#include <cstring>

#include "dns/ip_parser.h"
#include "platform/tick.h"

namespace asynframe {

namespace {

constexpr std::uint32_t header_size = 12;
constexpr std::size_t max_label = 63;
constexpr std::uint32_t max_name_total = 255;  // length bytes plus labels, without the final zero

std::uint32_t get16(const unsigned char* p) noexcept {
    return (static_cast<std::uint32_t>(p[0]) << 8) | p[1];
}

std::uint32_t get32(const unsigned char* p) noexcept {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

void dns_package::put_byte(unsigned char* buffer, std::uint32_t& remaining, std::uint32_t& position,
                           std::uint32_t value) {
    if (remaining == 0) throw format_exception("put bytes error!");
    buffer[position] = static_cast<unsigned char>(value & 0xFF);
    ++position;
    --remaining;
}

void dns_package::put_short(unsigned char* buffer, std::uint32_t& remaining, std::uint32_t& position,
                            std::uint32_t value) {
    if (remaining < 2) throw format_exception("put short error!");
    put_byte(buffer, remaining, position, (value >> 8) & 0xFF);
    put_byte(buffer, remaining, position, value & 0xFF);
}

void dns_package::encode(unsigned char* buffer, std::uint32_t& length) {
    std::uint32_t remaining = length;
    _position = 0;

    const auto id16 = static_cast<std::uint32_t>(_id) & 0xFFFF;
    if (remaining >= header_size) {
        // The common case in one go; the writers below give the exact error
        // of a buffer too small for the header.
        const unsigned char header[header_size] = {static_cast<unsigned char>(id16 >> 8),
                                                   static_cast<unsigned char>(id16 & 0xFF),
                                                   0x01,  // standard query, recursion desired
                                                   0x00, 0x00, 0x01,  // QDCOUNT 1
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        std::memcpy(buffer, header, header_size);
        _position = header_size;
        remaining -= header_size;
    } else {
        put_short(buffer, remaining, _position, id16);
        put_byte(buffer, remaining, _position, 0x01);
        put_byte(buffer, remaining, _position, 0x00);
        put_short(buffer, remaining, _position, 1);  // QDCOUNT
        put_short(buffer, remaining, _position, 0);  // ANCOUNT
        put_short(buffer, remaining, _position, 0);  // NSCOUNT
        put_short(buffer, remaining, _position, 0);  // ARCOUNT
    }

    // Labels are checked before a byte of them is copied, and copied straight
    // from the name, so an over-long piece never lands anywhere.
    std::uint32_t total = 0;
    const char* piece = _name.data();
    const char* const end = piece + _name.size();
    while (piece < end) {
        const char* dot = piece;
        while (dot < end && *dot != '.') ++dot;
        const auto size = static_cast<std::size_t>(dot - piece);
        if (size > max_label) throw format_exception("label too long.");
        total += static_cast<std::uint32_t>(size) + 1;
        if (total >= max_name_total) throw format_exception("domain too long!");
        if (remaining < size + 1) {
            put_byte(buffer, remaining, _position, static_cast<std::uint32_t>(size));
            throw format_exception("put bytes error!");
        }
        buffer[_position] = static_cast<unsigned char>(size);
        std::memcpy(buffer + _position + 1, piece, size);
        _position += static_cast<std::uint32_t>(size) + 1;
        remaining -= static_cast<std::uint32_t>(size) + 1;
        if (dot == end) break;
        piece = dot + 1;
    }
    if (remaining >= 5) {
        const unsigned char tail[5] = {0x00, static_cast<unsigned char>(_type >> 8),
                                       static_cast<unsigned char>(_type & 0xFF), 0x00, 0x01};  // root, QTYPE, QCLASS IN
        std::memcpy(buffer + _position, tail, sizeof tail);
        _position += 5;
    } else {
        put_byte(buffer, remaining, _position, 0);
        put_short(buffer, remaining, _position, _type);  // QTYPE
        put_short(buffer, remaining, _position, 1);      // QCLASS IN
    }
    length = _position;
}

rrecord::rrecord(std::string name_, std::int32_t type_, std::int32_t rr_class_, std::uint32_t ttl_,
                 std::string address_, std::string cname_)
    : rrecord(std::move(name_), type_, rr_class_, ttl_, std::move(address_), std::move(cname_),
              platform::tick_count()) {}

rrecord::rrecord(std::string name_, std::int32_t type_, std::int32_t rr_class_, std::uint32_t ttl_,
                 std::string address_, std::string cname_, std::uint32_t created_)
    : name(std::move(name_)),
      type(type_),
      rr_class(rr_class_),
      ttl(ttl_),
      created(created_),
      address(std::move(address_)),
      cname(std::move(cname_)) {}

adns_answer::adns_answer(const unsigned char* data_, std::uint32_t length_)
    : data(data_), length(length_), _decoded(platform::tick_count()) {
    if (data == nullptr || length <= header_size) return;
    id = get16(data);
    if ((data[2] & 0x80) == 0) return;  // a query, not a response
    rcode = data[3] & 0x0F;
    truncated = (data[2] & 0x02) != 0;
    valid = true;
    if (get16(data + 4) != 1) return;
    const std::uint32_t answers = get16(data + 6);

    const int question = read_name(data + header_size, length - header_size, question_name);
    if (question < 0) {
        question_name.clear();
        return;
    }
    std::uint32_t offset = header_size + static_cast<std::uint32_t>(question);
    if (length - offset < 4) return;
    // The type tells which of a name's two queries this answers; QCLASS is
    // not looked at.
    question_type = static_cast<std::uint16_t>(get16(data + offset));
    offset += 4;

    // Every record takes at least 11 bytes, which bounds the reservation
    // whatever ANCOUNT claims.
    const std::uint32_t fit = (length - offset) / 11;
    records.reserve(answers < fit ? answers : fit);
    const unsigned char* cursor = data + offset;
    for (std::uint32_t i = 0; i < answers; ++i) {
        const auto left = static_cast<std::uint32_t>(length - (cursor - data));
        if (parse_record(cursor, left, records) < 0) break;
    }
}

int adns_answer::read_name(const unsigned char* start, std::uint32_t limit, std::string& out) const {
    if (data == nullptr || start < data || start > data + length) return -1;
    const auto offset = static_cast<std::uint32_t>(start - data);
    // Never read past the datagram, whatever limit the caller passes.
    if (limit > length - offset) limit = length - offset;
    std::uint32_t octets = 0;
    return read_name_at(offset, limit, out, 0, octets);
}

int adns_answer::read_name_at(std::uint32_t base, std::uint32_t limit, std::string& out, int hops,
                              std::uint32_t& octets) const {
    if (limit == 0) return -1;
    const unsigned char* p = data + base;
    std::uint32_t at = 0;
    for (;;) {
        const unsigned char b = p[at];  // at < limit holds on every path here
        if ((b & 0xC0) == 0xC0) {
            if (limit - at < 2) return -1;
            const std::uint32_t target = (static_cast<std::uint32_t>(b & 0x3F) << 8) | p[at + 1];
            if (target > length) return -1;
            if (hops >= max_pointer_hops) return -1;
            if (read_name_at(target, length - target, out, hops + 1, octets) < 0) return -1;
            return static_cast<int>(at + 2);
        }
        if (b == 0) return 1;  // only reachable at offset 0: the root name
        if (b > 62) return -1;
        const std::uint32_t label = b;
        if (limit - at - 1 < label) return -1;
        // Checked before the text is kept, counting the zero still to come, so
        // pointers can never make a name grow past the bound.
        octets += label + 1;
        if (octets + 1 > max_name_octets) return -1;
        const auto* bytes = reinterpret_cast<const char*>(p + at + 1);
        std::size_t kept = 0;
        while (kept < label && bytes[kept] != '\0') ++kept;  // a zero byte ends the label text
        out.append(bytes, kept);
        out.push_back('.');
        at += label + 1;
        if (at >= limit) return -1;
        const unsigned char next = p[at];
        if (next == 0) {
            out.pop_back();
            return static_cast<int>(at + 1);
        }
        if (next > 62 && (next & 0xC0) != 0xC0) return -1;
    }
}

int adns_answer::parse_record(const unsigned char*& cursor, std::uint32_t remaining, std::vector<rrecord>& out) const {
    if (data == nullptr || cursor < data || cursor > data + length) return -1;
    const auto left = static_cast<std::uint32_t>(length - (cursor - data));
    if (remaining > left) remaining = left;
    std::string owner;
    const int name_size = read_name(cursor, remaining, owner);
    if (name_size < 0) return -1;
    const auto name_length = static_cast<std::uint32_t>(name_size);
    if (remaining - name_length < 10) return -1;
    const unsigned char* fixed = cursor + name_length;
    const std::uint32_t type = get16(fixed);
    const std::uint32_t rr_class = get16(fixed + 2);
    // Senders that keep TTLs signed mean a negative one by the top bit: not to
    // be cached (RFC 2181, 8).
    std::uint32_t ttl = get32(fixed + 4);
    if ((ttl & 0x80000000u) != 0) ttl = 0;
    const std::uint32_t rdlength = get16(fixed + 8);
    if (remaining - name_length - 10 < rdlength) return -1;
    const unsigned char* rdata = fixed + 10;
    const std::uint32_t consumed = name_length + 10 + rdlength;

    if (rdlength != 0 && rr_class == 1) {
        std::string address;
        std::string cname;
        if (type == dns_type_cname) {
            if (read_name(rdata, rdlength, cname) < 0) return -1;
        } else if (type == dns_type_a && rdlength == 4) {
            append_ipv4_text(address, rdata);
        } else if (type == dns_type_aaaa && rdlength == 16) {
            append_ipv6_text(address, rdata);
        }
        out.emplace_back(std::move(owner), static_cast<std::int32_t>(type), 1, ttl, std::move(address),
                         std::move(cname), _decoded);
    }
    cursor += consumed;
    return static_cast<int>(consumed);
}

}  // namespace asynframe

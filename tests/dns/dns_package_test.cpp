#include "dns/dns_package.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dns/ip_parser.h"
#include "dns_test_support.h"

namespace asynframe {
namespace {

using dns_test::wire;

std::vector<unsigned char> encode(const std::string& name, std::int32_t id = 1, std::uint32_t capacity = 512) {
    std::vector<unsigned char> buffer(512, 0xEE);
    dns_package package(name, id);
    std::uint32_t length = capacity;
    package.encode(buffer.data(), length);
    EXPECT_EQ(length, package.position());
    buffer.resize(length);
    return buffer;
}

std::string encode_error(const std::string& name, std::uint32_t capacity = 512) {
    std::vector<unsigned char> buffer(600, 0xEE);
    dns_package package(name, 1);
    std::uint32_t length = capacity;
    try {
        package.encode(buffer.data(), length);
    } catch (const format_exception& e) {
        for (std::size_t i = capacity; i < buffer.size(); ++i)
            if (buffer[i] != 0xEE) return "wrote past the capacity";
        return e.what();
    }
    return "no error";
}

std::vector<unsigned char> qname_of(const std::vector<unsigned char>& query) {
    return std::vector<unsigned char>(query.begin() + 12, query.end() - 4);
}

TEST(DnsQueryEncoding, HeaderQuestionAndLowSixteenBitsOfTheId) {
    const auto query = encode("a.b", 0x7A5B0102);
    const std::vector<unsigned char> expected = {0x01, 0x02, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                 0x00, 0x01, 'a',  0x01, 'b',  0x00, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(query, expected);
    const auto negative = encode("a.b", -1);
    EXPECT_EQ(negative[0], 0xFF);
    EXPECT_EQ(negative[1], 0xFF);
}

TEST(DnsQueryEncoding, LabelAndNameLimits) {
    EXPECT_EQ(encode(std::string(63, 'x')).size(), 12u + 1 + 63 + 1 + 4);
    EXPECT_EQ(encode_error(std::string(64, 'x')), "label too long.");
    EXPECT_EQ(encode_error("a." + std::string(200, 'x') + ".b"), "label too long.");

    // Three 63-byte labels (64 each with the length byte) plus one of 61: 254.
    const std::string l63(63, 'a');
    const auto longest = encode(l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b'));
    EXPECT_EQ(longest.size(), 271u);
    EXPECT_EQ(longest[12 + 254], 0x00);
    EXPECT_EQ(encode_error(l63 + "." + l63 + "." + l63 + "." + std::string(62, 'b')), "domain too long!");
    // Many empty labels add up too.
    EXPECT_EQ(encode_error(std::string(300, '.')), "domain too long!");
}

TEST(DnsQueryEncoding, DotsAndBytesAreKeptAsGiven) {
    EXPECT_EQ(encode("a.b."), encode("a.b"));
    EXPECT_EQ(qname_of(encode("")), (std::vector<unsigned char>{0x00}));
    EXPECT_EQ(qname_of(encode(".a")), (std::vector<unsigned char>{0x00, 0x01, 'a', 0x00}));
    EXPECT_EQ(qname_of(encode("a..b")), (std::vector<unsigned char>{0x01, 'a', 0x00, 0x01, 'b', 0x00}));
    EXPECT_EQ(qname_of(encode("Ab_*")), (std::vector<unsigned char>{0x04, 'A', 'b', '_', '*', 0x00}));
}

TEST(DnsQueryEncoding, SmallBuffersFailWithoutWritingPastTheirCapacity) {
    EXPECT_EQ(encode_error("a", 0), "put short error!");
    EXPECT_EQ(encode_error("a", 3), "put bytes error!");
    EXPECT_EQ(encode_error("a", 11), "put short error!");
    EXPECT_EQ(encode_error("a", 12), "put bytes error!");
    EXPECT_EQ(encode_error("abc", 14), "put bytes error!");
    EXPECT_EQ(encode_error("a", 15), "put short error!");
    EXPECT_EQ(encode("a", 1, 19).size(), 19u);  // exactly enough
}

TEST(DnsQueryEncoding, EveryEncodingStartsAtZero) {
    dns_package package("host.test", 7);
    unsigned char buffer[512];
    std::uint32_t first = sizeof buffer;
    package.encode(buffer, first);
    std::uint32_t second = sizeof buffer;
    package.encode(buffer, second);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, 12u + 11 + 4);
}

// A reply for www.example.com: CNAME to web.example.com (TTL 128), then
// web.example.com A 10.0.0.1 (TTL 300), all names compressed.
wire cname_then_a() {
    wire w;
    w.header(0xBEEF, 0, 1, 2).question("www.example.com");  // name at 12, "example" at 16
    w.pointer(12).rr(5, 1, 0x00000080, 6).label("web").pointer(16);
    const unsigned web = w.size() - 6;
    w.pointer(web).rr(1, 1, 300, 4).a(10, 0, 0, 1);
    return w;
}

TEST(DnsReplyDecoding, CnameThenAddress) {
    dns_test::manual_clock clock(4242);
    const wire w = cname_then_a();
    adns_answer answer(w.data(), w.size());
    EXPECT_TRUE(answer.valid);
    EXPECT_EQ(answer.id, 0xBEEFu);
    EXPECT_EQ(answer.rcode, 0);
    EXPECT_EQ(answer.question_name, "www.example.com");
    ASSERT_EQ(answer.records.size(), 2u);
    const rrecord& cname = answer.records[0];
    EXPECT_EQ(cname.name, "www.example.com");
    EXPECT_EQ(cname.type, 5);
    EXPECT_EQ(cname.rr_class, 1);
    EXPECT_EQ(cname.ttl, 128u);
    EXPECT_EQ(cname.cname, "web.example.com");
    EXPECT_EQ(cname.address, "");
    const rrecord& a = answer.records[1];
    EXPECT_EQ(a.name, "web.example.com");
    EXPECT_EQ(a.type, 1);
    EXPECT_EQ(a.ttl, 300u);
    EXPECT_EQ(a.address, "10.0.0.1");
    EXPECT_EQ(a.cname, "");
    EXPECT_EQ(a.created, 4242u);
}

TEST(DnsReplyDecoding, PointerFarIntoTheMessageAndOtherTypes) {
    wire w;
    w.header(1, 0, 1, 4).question("q.test");  // 12 + 8 + 4 = 24
    // A record of an unknown type whose data holds a name at offset 140.
    w.pointer(12).rr(99, 1, 1, 140 - 36 + 10);  // owner 2 + fixed 10: data starts at 36
    while (w.size() < 140) w.u8(0x55);
    w.name("far.test");  // 140 .. 150
    ASSERT_EQ(w.size(), 150u);
    w.u8(0xC0).u8(0x8C).rr(1, 1, 0xFFFFFFFF, 4).a(255, 0, 9, 100);
    w.pointer(12).rr(28, 1, 60, 16);
    for (int i = 0; i < 16; ++i) w.u8(i);
    w.pointer(12).rr(1, 1, 60, 5).a(1, 2, 3, 4).u8(5);  // A with 5 data bytes: no address

    adns_answer answer(w.data(), w.size());
    ASSERT_EQ(answer.records.size(), 4u);
    EXPECT_EQ(answer.records[0].type, 99);
    EXPECT_EQ(answer.records[1].name, "far.test");
    EXPECT_EQ(answer.records[1].address, "255.0.9.100");
    EXPECT_EQ(answer.records[1].ttl, 0u);  // top bit set
    EXPECT_EQ(answer.records[2].type, 28);
    EXPECT_EQ(answer.records[2].address, "1:203:405:607:809:a0b:c0d:e0f");  // AAAA: the RFC 5952 text
    EXPECT_EQ(answer.records[2].cname, "");
    EXPECT_EQ(answer.records[3].type, 1);
    EXPECT_EQ(answer.records[3].address, "");
}

TEST(DnsReplyDecoding, HeaderOnlyOutcomes) {
    wire nxdomain;
    nxdomain.header(9, 3, 1, 0).question("missing.test");
    adns_answer name_error(nxdomain.data(), nxdomain.size());
    EXPECT_TRUE(name_error.valid);
    EXPECT_EQ(name_error.rcode, 3);
    EXPECT_EQ(name_error.question_name, "missing.test");
    EXPECT_TRUE(name_error.records.empty());

    wire query;
    query.u16(9).u8(0x01).u8(0x00).u16(1).u16(0).u16(0).u16(0).question("q.test");
    adns_answer not_reply(query.data(), query.size());
    EXPECT_FALSE(not_reply.valid);
    EXPECT_EQ(not_reply.rcode, -1);

    wire header_only;
    header_only.header(9, 0, 1, 0);
    adns_answer too_short(header_only.data(), header_only.size());
    EXPECT_FALSE(too_short.valid);

    wire two_questions = cname_then_a();
    two_questions.bytes[5] = 2;
    adns_answer multi(two_questions.data(), two_questions.size());
    EXPECT_TRUE(multi.valid);
    EXPECT_EQ(multi.question_name, "");
    EXPECT_TRUE(multi.records.empty());

    wire short_question;
    short_question.header(9, 0, 1, 1).name("q.test").u16(1).u8(1);
    adns_answer cut(short_question.data(), short_question.size());
    EXPECT_TRUE(cut.valid);
    EXPECT_TRUE(cut.records.empty());
}

TEST(DnsReplyDecoding, LabelLengthLimitOnReading) {
    wire w62;
    w62.header(1, 0, 1, 1).question(std::string(62, 'a') + ".test");
    w62.pointer(12).rr(1, 1, 5, 4).a(1, 1, 1, 1);
    adns_answer ok(w62.data(), w62.size());
    EXPECT_EQ(ok.question_name, std::string(62, 'a') + ".test");
    EXPECT_EQ(ok.records.size(), 1u);

    wire w63;
    w63.header(1, 0, 1, 1).question(std::string(63, 'a') + ".test");
    w63.pointer(12).rr(1, 1, 5, 4).a(1, 1, 1, 1);
    adns_answer bad(w63.data(), w63.size());
    EXPECT_TRUE(bad.valid);
    EXPECT_EQ(bad.question_name, "");
    EXPECT_TRUE(bad.records.empty());

    // In an answer's owner name the decoding stops there, earlier records kept.
    wire later;
    later.header(1, 0, 1, 3).question("q.test");
    later.pointer(12).rr(1, 1, 5, 4).a(1, 1, 1, 1);
    later.name(std::string(63, 'b')).rr(1, 1, 5, 4).a(2, 2, 2, 2);
    later.pointer(12).rr(1, 1, 5, 4).a(3, 3, 3, 3);
    adns_answer partial(later.data(), later.size());
    ASSERT_EQ(partial.records.size(), 1u);
    EXPECT_EQ(partial.records[0].address, "1.1.1.1");
}

TEST(DnsReplyDecoding, SkippedAndMalformedRecords) {
    wire w;
    w.header(1, 0, 1, 5).question("q.test");
    w.pointer(12).rr(1, 3, 5, 4).a(9, 9, 9, 9);  // class CH: consumed, no record
    w.pointer(12).rr(1, 1, 5, 0);                 // no data: consumed, no record
    w.pointer(12).rr(1, 1, 5, 4).a(7, 7, 7, 7);
    w.pointer(12).rr(1, 1, 5, 4).u8(8).u8(8).u8(8);  // data cut short
    adns_answer answer(w.data(), w.size());
    ASSERT_EQ(answer.records.size(), 1u);
    EXPECT_EQ(answer.records[0].address, "7.7.7.7");

    // A CNAME whose target cannot be read ends the answer loop.
    wire bad_cname;
    bad_cname.header(1, 0, 1, 2).question("q.test");
    bad_cname.pointer(12).rr(5, 1, 5, 2).u8(5).u8('x');  // label longer than its data
    bad_cname.pointer(12).rr(1, 1, 5, 4).a(1, 2, 3, 4);
    adns_answer stopped(bad_cname.data(), bad_cname.size());
    EXPECT_TRUE(stopped.records.empty());

    // ANCOUNT far above what the datagram holds.
    wire many;
    many.header(1, 0, 1, 0xFFFF).question("q.test").pointer(12).rr(1, 1, 5, 4).a(1, 2, 3, 4);
    adns_answer bounded(many.data(), many.size());
    EXPECT_EQ(bounded.records.size(), 1u);
}

TEST(DnsReadName, SizesAndTexts) {
    wire w;
    w.header(1, 0, 0, 0);                   // no question: nothing decoded at construction
    w.name("www.example.com");              // 12 .. 28
    w.label("mail").pointer(16);            // 29 .. 35
    w.pointer(29);                          // 36 .. 37
    w.u8(0);                                // 38: root
    w.label(std::string("ab\0cd", 5)).u8(0);  // 39 .. 45: zero inside a label
    adns_answer answer(w.data(), w.size());
    const auto read = [&](std::uint32_t offset, std::uint32_t limit, std::string& out) {
        return answer.read_name(w.data() + offset, limit, out);
    };
    std::string out;
    EXPECT_EQ(read(12, 100, out), 17);
    EXPECT_EQ(out, "www.example.com");
    out.clear();
    EXPECT_EQ(read(29, 100, out), 7);
    EXPECT_EQ(out, "mail.example.com");
    out.clear();
    EXPECT_EQ(read(36, 2, out), 2);
    EXPECT_EQ(out, "mail.example.com");
    out = "kept";
    EXPECT_EQ(read(38, 1, out), 1);
    EXPECT_EQ(out, "kept");
    out.clear();
    EXPECT_EQ(read(39, 7, out), 7);
    EXPECT_EQ(out, "ab");

    // Limits are enforced before any byte is read.
    EXPECT_EQ(read(12, 0, out), -1);
    EXPECT_EQ(read(12, 16, out), -1);  // terminating zero outside the limit
    EXPECT_EQ(read(12, 3, out), -1);   // label outside the limit
    EXPECT_EQ(read(36, 1, out), -1);   // second pointer byte outside the limit
    EXPECT_EQ(answer.read_name(w.data() + w.size(), 10, out), -1);
}

TEST(DnsReadName, PointerLoopsAndStrayPointersAreRejected) {
    wire self;
    self.header(1, 0, 1, 0).pointer(12).u16(1).u16(1);
    adns_answer a(self.data(), self.size());
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.question_name, "");

    wire pair;  // 12 -> label then pointer to 18 -> label then pointer to 12
    pair.header(1, 0, 1, 0).label("ab").pointer(18).u8(0).label("cd").pointer(12).u16(1).u16(1);
    adns_answer b(pair.data(), pair.size());
    EXPECT_EQ(b.question_name, "");

    wire beyond;
    beyond.header(1, 0, 1, 0).pointer(0x3FFF).u16(1).u16(1);
    adns_answer c(beyond.data(), beyond.size());
    EXPECT_EQ(c.question_name, "");

    // A chain of pointers to pointers is followed up to the hop limit.
    const auto chain = [](int hops) {
        wire w;
        w.header(1, 0, 0, 0).name("end.test");  // 12
        unsigned target = 12;
        for (int i = 0; i < hops; ++i) {
            const unsigned here = w.size();
            w.pointer(target);
            target = here;
        }
        adns_answer answer(w.data(), w.size());
        std::string out;
        const int size = answer.read_name(w.data() + target, w.size() - target, out);
        return size < 0 ? std::string("failed") : out;
    };
    EXPECT_EQ(chain(adns_answer::max_pointer_hops), "end.test");
    EXPECT_EQ(chain(adns_answer::max_pointer_hops + 1), "failed");
}

TEST(DnsReplyDecoding, TtlWithTheTopBitSetReadsAsZero) {
    wire w;
    w.header(1, 0, 1, 5).question("q.test");
    w.pointer(12).rr(1, 1, 0x80000000, 4).a(1, 1, 1, 1);
    w.pointer(12).rr(1, 1, 0xFFFFFFFF, 4).a(2, 2, 2, 2);
    w.pointer(12).rr(1, 1, 0x7FFFFFFF, 4).a(3, 3, 3, 3);
    w.pointer(12).rr(5, 1, 0xC0000000, 2).pointer(12);
    w.pointer(12).rr(1, 1, 1, 4).a(4, 4, 4, 4);
    adns_answer answer(w.data(), w.size());
    ASSERT_EQ(answer.records.size(), 5u);
    EXPECT_EQ(answer.records[0].ttl, 0u);
    EXPECT_EQ(answer.records[1].ttl, 0u);
    EXPECT_EQ(answer.records[2].ttl, 0x7FFFFFFFu);
    EXPECT_EQ(answer.records[3].ttl, 0u);
    EXPECT_EQ(answer.records[3].cname, "q.test");
    EXPECT_EQ(answer.records[4].ttl, 1u);
}

// Labels of 62 octets, the longest the decoder takes.
const std::string l62(62, 'a');

std::string decoded_name(const wire& w, unsigned offset) {
    adns_answer answer(w.data(), w.size());
    std::string out;
    return answer.read_name(w.data() + offset, w.size() - offset, out) < 0 ? std::string("failed") : out;
}

TEST(DnsNameBounds, TwoHundredFiftyFiveOctetsAreTheLongestName) {
    // Four 62-octet labels (63 each on the wire) and the final zero: 253, so
    // the last label decides. Its length byte, text and the zero: 255 or 256.
    const std::string four = l62 + "." + l62 + "." + l62 + "." + l62;
    wire fits;
    fits.header(1, 0, 0, 0).name(four + ".b");
    ASSERT_EQ(fits.size(), 12u + 255);
    EXPECT_EQ(decoded_name(fits, 12), four + ".b");
    wire over;
    over.header(1, 0, 0, 0).name(four + ".bc");
    EXPECT_EQ(decoded_name(over, 12), "failed");

    // The question is held to it too, and then decoding stops there.
    wire long_question;
    long_question.header(1, 0, 1, 1).question(four + ".bc").pointer(12).rr(1, 1, 5, 4).a(1, 1, 1, 1);
    adns_answer rejected(long_question.data(), long_question.size());
    EXPECT_TRUE(rejected.valid);
    EXPECT_EQ(rejected.question_name, "");
    EXPECT_TRUE(rejected.records.empty());

    // Behind a pointer the octets of both parts count: 63 + 192 and 64 + 192.
    const std::string three = l62 + "." + l62 + "." + l62;
    wire w;
    w.header(1, 0, 1, 2).question(three + ".b");  // 192 octets at 12
    const unsigned owner1 = w.size();
    w.label(l62).pointer(12).rr(1, 1, 5, 4).a(1, 1, 1, 1);
    const unsigned owner2 = w.size();
    w.label("z").label(std::string(61, 'y')).pointer(12).rr(1, 1, 5, 4).a(2, 2, 2, 2);
    EXPECT_EQ(decoded_name(w, owner1), l62 + "." + three + ".b");
    EXPECT_EQ(decoded_name(w, owner2), "failed");
    adns_answer answer(w.data(), w.size());
    EXPECT_EQ(answer.question_name, three + ".b");
    ASSERT_EQ(answer.records.size(), 1u);  // the second owner ends the decoding, as any malformed name
    EXPECT_EQ(answer.records[0].address, "1.1.1.1");
}

// A ladder of names, each one label then a pointer to the one before, ending
// at the question "q.test". Kept in the data of a class CH record, which the
// decoder skips. Returns the offset of the top rung.
unsigned ladder(wire& w, int rungs, const std::string& text) {
    const unsigned data_length = static_cast<unsigned>(rungs) * static_cast<unsigned>(text.size() + 3);
    w.pointer(12).rr(16, 3, 5, data_length);
    unsigned below = 12;
    for (int i = 0; i < rungs; ++i) {
        const unsigned here = w.size();
        w.label(text).pointer(below);
        below = here;
    }
    return below;
}

std::size_t decoded_text(const adns_answer& answer) {
    std::size_t total = answer.question_name.size();
    for (const rrecord& record : answer.records)
        total += record.name.size() + record.cname.size() + record.address.size();
    return total;
}

TEST(DnsNameBounds, ChainedPointersCannotInflateTheReply) {
    // Every answer names the top of a 31-rung ladder twice (owner and CNAME):
    // about 4 KB of text from 14 bytes of record, over and over.
    wire hostile;
    hostile.header(0x0BAD, 0, 1, 200).question("q.test");
    const unsigned top = ladder(hostile, 31, l62);
    for (int i = 0; i < 80; ++i) hostile.pointer(top).rr(5, 1, 60, 2).pointer(top);
    ASSERT_GT(hostile.size(), 3000u);
    adns_answer answer(hostile.data(), hostile.size());
    EXPECT_TRUE(answer.valid);
    EXPECT_EQ(answer.question_name, "q.test");
    EXPECT_TRUE(answer.records.empty());
    EXPECT_LT(decoded_text(answer), 40u * hostile.size());

    // Short rungs keep the name short, but more than 16 jumps are too many:
    // the top rung is 16 away from the question, a pointer to it 17.
    std::string sixteen_x;
    for (int i = 0; i < 16; ++i) sixteen_x += "x.";
    wire many_jumps;
    many_jumps.header(1, 0, 1, 2).question("q.test");
    const unsigned deep = ladder(many_jumps, 16, "x");
    const unsigned owner = many_jumps.size();
    many_jumps.pointer(deep).rr(1, 1, 60, 4).a(1, 2, 3, 4);
    EXPECT_EQ(decoded_name(many_jumps, deep), sixteen_x + "q.test");
    EXPECT_EQ(decoded_name(many_jumps, owner), "failed");
    adns_answer jumps(many_jumps.data(), many_jumps.size());
    EXPECT_TRUE(jumps.records.empty());

    // Compression within the bounds still decodes: three rungs of 62 (189
    // octets) on "q.test" (8), and 16 jumps.
    wire fine;
    fine.header(1, 0, 1, 4).question("q.test");
    const unsigned three = ladder(fine, 3, l62);
    fine.pointer(three).rr(1, 1, 60, 4).a(10, 0, 0, 1);
    const unsigned fifteen = ladder(fine, 15, "x");
    fine.pointer(fifteen).rr(5, 1, 60, 2).pointer(three);
    adns_answer accepted(fine.data(), fine.size());
    ASSERT_EQ(accepted.records.size(), 2u);
    EXPECT_EQ(accepted.records[0].name, l62 + "." + l62 + "." + l62 + ".q.test");
    EXPECT_EQ(accepted.records[0].address, "10.0.0.1");
    EXPECT_EQ(accepted.records[1].name, sixteen_x.substr(2) + "q.test");
    EXPECT_EQ(accepted.records[1].cname, accepted.records[0].name);
}

TEST(IpText, IsIpTakesFourDigitFields) {
    for (const char* good : {"1.2.3.4", "01.002.3.4444", "300.1.1.999", "0.0.0.0"}) EXPECT_TRUE(is_ip(good)) << good;
    for (const char* bad : {"1..2.3", ".1.2.3", "1.2.3.4.5", "a.b.c.d", "", "1.2.3", "1.2.3.4.", "1.2.3.4 ",
                            "1.2.3.-4", "1.2.3.", "...."})
        EXPECT_FALSE(is_ip(bad)) << bad;
}

TEST(IpText, InetAddrRules) {
    const auto value = [](const char* text) -> long long {
        std::uint32_t address = 0;
        return inet_addr_value(text, address) ? static_cast<long long>(address) : -1;
    };
    EXPECT_EQ(value("127.0.0.1"), 0x7F000001);
    EXPECT_EQ(value("127.1"), 0x7F000001);
    EXPECT_EQ(value("0x7f.1"), 0x7F000001);
    EXPECT_EQ(value("010.0.0.1"), 0x08000001);
    EXPECT_EQ(value("1.2.65535"), 0x0102FFFF);
    EXPECT_EQ(value("4294967294"), 0xFFFFFFFE);
    EXPECT_EQ(value("0.0.0.0"), 0);
    for (const char* bad : {"255.255.255.255", "4294967295", "4294967296", "256.1.1.1", "1.2.65536", "1.2.3.4.",
                            "1.2.3.4.5", "::1", "fe80::1", "", ".", "08.1.1.1", "1..2", "1.2.3.4 x", "host", "0x"})
        EXPECT_EQ(value(bad), -1) << bad;
    EXPECT_EQ(ipv4_text(0x0A00FF01), "10.0.255.1");
}

}  // namespace
}  // namespace asynframe

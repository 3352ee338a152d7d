// Query encoding and reply decoding against c-ares's own builder and A-reply
// parser, on the same name and the same reply.
#include <ares.h>
#include <ares_dns.h>
#include <benchmark/benchmark.h>

#include "../bench_main.h"
#include <arpa/nameser.h>
#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dns/dns_package.h"

namespace {

const char* const query_name = "www.example.com";

// www.example.com CNAME web.example.com, then two A records, all compressed.
std::vector<unsigned char> typical_reply() {
    std::vector<unsigned char> m;
    const auto u8 = [&](unsigned v) { m.push_back(static_cast<unsigned char>(v)); };
    const auto u16 = [&](unsigned v) { u8(v >> 8), u8(v & 0xFF); };
    const auto u32 = [&](std::uint32_t v) { u16(v >> 16), u16(v & 0xFFFF); };
    const auto label = [&](const char* text) {
        const std::string s(text);
        u8(static_cast<unsigned>(s.size()));
        m.insert(m.end(), s.begin(), s.end());
    };
    u16(0x1234), u8(0x81), u8(0x80), u16(1), u16(3), u16(0), u16(0);
    label("www"), label("example"), label("com"), u8(0), u16(1), u16(1);  // name at 12, "example" at 16
    u16(0xC00C), u16(5), u16(1), u32(300), u16(6);
    const unsigned web = static_cast<unsigned>(m.size());
    label("web"), u16(0xC010);
    for (unsigned last : {1u, 2u}) {
        u16(0xC000 | web), u16(1), u16(1), u32(60), u16(4);
        u8(93), u8(184), u8(216), u8(last);
    }
    return m;
}

void encode_ours(benchmark::State& state) {
    unsigned char buffer[512];
    std::int32_t id = 1984;
    for (auto _ : state) {
        asynframe::dns_package package(query_name, ++id);
        std::uint32_t length = sizeof buffer;
        package.encode(buffer, length);
        benchmark::DoNotOptimize(buffer);
        benchmark::DoNotOptimize(length);
    }
    state.SetItemsProcessed(state.iterations());
}

void encode_cares(benchmark::State& state) {
    unsigned short id = 1984;
    for (auto _ : state) {
        unsigned char* buffer = nullptr;
        int length = 0;
        if (ares_create_query(query_name, C_IN, T_A, ++id, 1, &buffer, &length, 0) != ARES_SUCCESS) {
            state.SkipWithError("ares_create_query failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
        ares_free_string(buffer);
    }
    state.SetItemsProcessed(state.iterations());
}

void decode_ours(benchmark::State& state) {
    const std::vector<unsigned char> reply = typical_reply();
    for (auto _ : state) {
        asynframe::adns_answer answer(reply.data(), static_cast<std::uint32_t>(reply.size()));
        if (answer.records.size() != 3 || answer.records[2].address != "93.184.216.2") {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(answer.records.data());
    }
    state.SetItemsProcessed(state.iterations());
}

void decode_cares(benchmark::State& state) {
    const std::vector<unsigned char> reply = typical_reply();
    for (auto _ : state) {
        hostent* host = nullptr;
        ares_addrttl ttls[4];
        int count = 4;
        if (ares_parse_a_reply(reply.data(), static_cast<int>(reply.size()), &host, ttls, &count) != ARES_SUCCESS ||
            count != 2) {
            state.SkipWithError("ares_parse_a_reply failed");
            break;
        }
        benchmark::DoNotOptimize(host);
        ares_free_hostent(host);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(encode_ours)->Name("encode_query/ours");
BENCHMARK(encode_cares)->Name("encode_query/cares");
BENCHMARK(decode_ours)->Name("decode_reply/ours");
BENCHMARK(decode_cares)->Name("decode_reply/cares");

int main(int argc, char** argv) {
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return EXIT_FAILURE;
    const int result = asynframe_bench::run(argc, argv, "ours and c-ares: message format only, no I/O");
    ares_library_cleanup();
    return result;
}

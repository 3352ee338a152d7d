// Asio's ssl::stream over its default epoll reactor: the same whole-range
// transfers with asio::async_read and asio::async_write.
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <asio.hpp>
#include <asio/ssl.hpp>
#pragma GCC diagnostic pop

#include "tls_common.h"

namespace tls_bench {
namespace {

using asio::ip::tcp;

void bulk_asio(benchmark::State& state, direction what) {
    bulk_server server(what);
    asio::io_context io{1};
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_verify_mode(asio::ssl::verify_none);
    asio::ssl::stream<tcp::socket> stream(io, context);
    asio::error_code error;
    stream.next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), server.port()), error);
    if (!error) stream.handshake(asio::ssl::stream_base::client, error);
    if (error) give_up("the TLS connect");

    std::vector<unsigned char> buffer(transfer_size, 0x61);
    for (auto _ : state) {
        bool finished = false;
        std::size_t moved = 0;
        auto done = [&](const asio::error_code& result, std::size_t count) {
            error = result;
            moved = count;
            finished = true;
        };
        if (what == direction::download)
            asio::async_read(stream, asio::buffer(buffer), done);
        else
            asio::async_write(stream, asio::buffer(buffer), done);
        const auto deadline = wait_deadline();
        while (!finished && io.run_one_until(deadline) != 0) {
        }
        io.restart();
        if (!finished) give_up("a transfer");
        if (error || moved != transfer_size) {
            state.SkipWithError("a transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * transfer_size);
    stream.next_layer().close(error);
}

void download_asio(benchmark::State& state) { bulk_asio(state, direction::download); }
void upload_asio(benchmark::State& state) { bulk_asio(state, direction::upload); }

[[maybe_unused]] const bool registered = [] {
    register_case("download/asio", download_asio);
    register_case("upload/asio", upload_asio);
    return true;
}();

}  // namespace
}  // namespace tls_bench

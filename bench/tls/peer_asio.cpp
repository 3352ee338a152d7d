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

// One whole connection per iteration, as ours: TCP connect, TLS handshake, a
// one-byte request and its answer, close; one context for all (Asio keeps no
// session to resume by itself).
void handshake_asio(benchmark::State& state) {
    bulk_server server(direction::handshake);
    asio::io_context io{1};
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_verify_mode(asio::ssl::verify_none);
    const tcp::endpoint target(asio::ip::address_v4::loopback(), server.port());
    unsigned char byte[1] = {0x61};
    for (auto _ : state) {
        asio::ssl::stream<tcp::socket> stream(io, context);
        asio::error_code error;
        bool finished = false;
        stream.next_layer().async_connect(target, [&](const asio::error_code& result) {
            if (result) {
                error = result;
                finished = true;
                return;
            }
            // As ours: no small record waits for the ACK of the one before.
            asio::error_code ignored;
            stream.next_layer().set_option(tcp::no_delay(true), ignored);
            stream.async_handshake(asio::ssl::stream_base::client, [&](const asio::error_code& shaken) {
                if (shaken) {
                    error = shaken;
                    finished = true;
                    return;
                }
                asio::async_write(stream, asio::buffer(byte, 1), [&](const asio::error_code& sent, std::size_t) {
                    if (sent) {
                        error = sent;
                        finished = true;
                        return;
                    }
                    asio::async_read(stream, asio::buffer(byte, 1), [&](const asio::error_code& got, std::size_t) {
                        error = got;
                        finished = true;
                    });
                });
            });
        });
        const auto deadline = wait_deadline();
        while (!finished && io.run_one_until(deadline) != 0) {
        }
        io.restart();
        if (!finished) give_up("a handshake");
        if (error) {
            state.SkipWithError("a handshake failed");
            break;
        }
        asio::error_code ignored;
        stream.next_layer().close(ignored);
    }
}

void download_asio(benchmark::State& state) { bulk_asio(state, direction::download); }
void upload_asio(benchmark::State& state) { bulk_asio(state, direction::upload); }

[[maybe_unused]] const bool registered = [] {
    register_case("download/asio", download_asio);
    register_case("upload/asio", upload_asio);
    register_case("handshake/asio", handshake_asio);
    return true;
}();

}  // namespace
}  // namespace tls_bench

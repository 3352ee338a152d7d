// This library's TLS client through a frame, on the ring ("ours") and on the
// readiness loop ("ours_epoll"): one whole-range read or write of
// transfer_size bytes per iteration.
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "asynframe/com_helpers.h"
#include "asynframe/asynframe.h"
#include "frame/asyn_frame.h"
#include "tls/asyn_ssl_socket.h"
#include "tls_common.h"

namespace tls_bench {
namespace {

using namespace asynframe;

// The host's settings: the engine's mode, and no certificate check (the
// server's certificate is made for the run).
class tls_bench_settings final : public map_settings {
public:
    explicit tls_bench_settings(bool readiness) {
        set_boolean("system", "force_win98", readiness);
        set_boolean("ssl", "verify_peer", false);
    }
};

// Runs closures on the frame's dispatch thread (synchronous frame messages),
// and takes the completions of the case's operations.
class frame_driver final : public com_interfaces<frame_driver, IAsynMessageEvents, IAsynIoOperationEvents>,
                           public owner_held {
public:
    using interfaces = no_interfaces;
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD, DWORD, DWORD) override {
        _work();
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override { return S_OK; }
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        if (on_complete) on_complete(error, bytes);
        return S_OK;
    }

    void run(IAsynFrame* frame, std::function<void()> work) {
        _work = std::move(work);
        if (frame->SendFrameMessage(this, 0, 0, 0) != S_OK) give_up("a call on the dispatch thread");
    }

    std::function<void(DWORD, DWORD)> on_complete;

private:
    std::function<void()> _work;
};

void bulk_case(benchmark::State& state, direction what, bool readiness) {
    bulk_server server(what);
    tls_bench_settings settings(readiness);
    auto* object = new CAsynFrame();
    IAsynFrame3* frame = object;
    if (static_cast<IAsynFramePlugin*>(object)->Initialize(0, &settings, nullptr, 0) != S_OK)
        give_up("starting the frame");
    frame_driver driver;
    frame->RegisterReceiver(&driver);

    IAsynTcpSocket* inner = nullptr;
    IAsynSSLSocket* socket = nullptr;
    IAsynIoOperation* op = nullptr;
    batch_signal done;
    DWORD error = 0, bytes = 0;
    driver.on_complete = [&](DWORD e, DWORD b) {
        error = e;
        bytes = b;
        done.raise();
    };
    driver.run(frame, [&] {
        frame->CreateTcpSocket(&inner);
        frame->CreateSSLSocket(inner, &socket);
        frame->CreateOperation(&driver, &op);
        op->SetTag(0);
        op->AllocBuffer(transfer_size);
        std::vector<BYTE> fill(transfer_size, 0x61);
        BYTE* buffer = nullptr;
        op->GetBuffer(&buffer, nullptr);
        std::copy(fill.begin(), fill.end(), buffer);
        if (socket->Connect(op, 9, "127.0.0.1", server.port(), 0) != S_OK) give_up("starting the connect");
    });
    if (!done.wait() || error != 0) give_up("the TLS connect");

    for (auto _ : state) {
        done.reset();
        driver.run(frame, [&] {
            op->SetRange(0, transfer_size);
            const HRESULT hr = what == direction::download ? socket->ReadFully(op) : socket->WriteFully(op);
            if (hr != S_OK) give_up("starting a transfer");
        });
        if (!done.wait()) give_up("a transfer");
        if (error != 0 || bytes != transfer_size) {
            state.SkipWithError("a transfer failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * transfer_size);

    driver.run(frame, [&] {
        driver.on_complete = nullptr;
        socket->Close();
        socket->Release();
        inner->Release();
        op->Release();
    });
    frame->UnregisterReceiver(&driver);
    static_cast<IAsynFramePlugin*>(object)->Uninitialize();
    object->Release();
}

// One whole connection per iteration: TCP connect, TLS handshake, a one-byte
// request and its answer, close (with its close_notify). The frame keeps the context and the session the
// server handed out, so connections after the first resume it.
void handshake_case(benchmark::State& state, bool readiness) {
    bulk_server server(direction::handshake);
    tls_bench_settings settings(readiness);
    auto* object = new CAsynFrame();
    IAsynFrame3* frame = object;
    if (static_cast<IAsynFramePlugin*>(object)->Initialize(0, &settings, nullptr, 0) != S_OK)
        give_up("starting the frame");
    frame_driver driver;
    frame->RegisterReceiver(&driver);

    IAsynTcpSocket* inner = nullptr;
    IAsynSSLSocket* socket = nullptr;
    IAsynIoOperation* op = nullptr;
    batch_signal done;
    DWORD error = 0;
    std::int64_t resumed = 0;
    int stage = 0;  // 0 connecting, 1 writing the request, 2 reading the answer
    auto finish = [&](DWORD e) {
        error = e;
        socket->Close();
        socket->Release();
        inner->Release();
        socket = nullptr;
        inner = nullptr;
        done.raise();
    };
    driver.on_complete = [&](DWORD e, DWORD bytes) {
        if (e != 0 || (stage > 0 && bytes != 1)) {
            finish(e != 0 ? e : 1);
            return;
        }
        if (stage == 0 && static_cast<CAsynSSLSocket*>(socket)->session_resumed()) ++resumed;
        if (stage == 2) {
            finish(0);
            return;
        }
        ++stage;
        op->SetRange(0, 1);
        if ((stage == 1 ? socket->Write(op) : socket->Read(op)) != S_OK) finish(1);
    };
    driver.run(frame, [&] {
        frame->CreateOperation(&driver, &op);
        op->SetTag(0);
        op->AllocBuffer(16);
    });
    for (auto _ : state) {
        done.reset();
        driver.run(frame, [&] {
            stage = 0;
            frame->CreateTcpSocket(&inner);
            frame->CreateSSLSocket(inner, &socket);
            if (socket->Connect(op, 9, "127.0.0.1", server.port(), 0) != S_OK) give_up("starting the connect");
        });
        if (!done.wait()) give_up("a handshake");
        if (error != 0) {
            state.SkipWithError("a handshake failed");
            break;
        }
    }
    state.counters["resumed"] =
        benchmark::Counter(static_cast<double>(resumed) / static_cast<double>(std::max<std::int64_t>(1, state.iterations())));
    driver.run(frame, [&] {
        driver.on_complete = nullptr;
        op->Release();
    });
    frame->UnregisterReceiver(&driver);
    static_cast<IAsynFramePlugin*>(object)->Uninitialize();
    object->Release();
}

void handshake_ours(benchmark::State& state) { handshake_case(state, false); }
void handshake_ours_epoll(benchmark::State& state) { handshake_case(state, true); }

void download_ours(benchmark::State& state) { bulk_case(state, direction::download, false); }
void download_ours_epoll(benchmark::State& state) { bulk_case(state, direction::download, true); }
void upload_ours(benchmark::State& state) { bulk_case(state, direction::upload, false); }
void upload_ours_epoll(benchmark::State& state) { bulk_case(state, direction::upload, true); }

[[maybe_unused]] const bool registered = [] {
    register_case("download/ours", download_ours);
    register_case("download/ours_epoll", download_ours_epoll);
    register_case("upload/ours", upload_ours);
    register_case("upload/ours_epoll", upload_ours_epoll);
    register_case("handshake/ours", handshake_ours);
    register_case("handshake/ours_epoll", handshake_ours_epoll);
    return true;
}();

}  // namespace
}  // namespace tls_bench

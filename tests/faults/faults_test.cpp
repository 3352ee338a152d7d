// The library under failure injection (platform/fault.h; built only in the
// `faults` preset). Each case turns a schedule on once its fixture stands,
// drives the main path of a subsystem, and checks what must hold whatever
// fails: every request that was accepted completes exactly once, with an error
// code or success, within a hard time limit; one that was refused never
// completes; and nothing leaks (AddressSanitizer). The number of faults each
// case exercised is printed.
//
// run_suites.sh runs the other suites' main paths under schedules too.
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_fixture.h"
#include "common/portable.h"
#include "common/socket_fixture.h"
#include "component/string_setter.h"
#include "file/file_object.h"
#include "file/file_services.h"
#include "platform/fault.h"
#include "socket/socket_objects.h"
#include "support/scratch_folder.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;
namespace fault = asynframe::platform::fault;

constexpr auto hard_limit = std::chrono::seconds(15);

// Turns a schedule on for a scope; off again (and the count printed) at its end.
class schedule {
public:
    schedule(const char* plan, std::uint64_t seed) : _plan(plan), _before(fault::injected()) {
        EXPECT_TRUE(fault::configure(plan, seed)) << plan;
    }
    ~schedule() {
        fault::configure(nullptr, 0);
        std::printf("[ faults   ] \"%s\": %llu injected\n", _plan.c_str(),
                    static_cast<unsigned long long>(fault::injected() - _before));
    }
    std::uint64_t injected() const { return fault::injected() - _before; }

private:
    std::string _plan;
    std::uint64_t _before;
};

TEST(FaultSchedule, EveryNthCallFailsWithTheSitesCodesInTurn) {
    ASSERT_TRUE(fault::configure("send:every=3", 1));
    const std::uint64_t before = fault::injected(fault::site::send);
    std::vector<int> answers;
    for (int i = 0; i < 12; ++i) answers.push_back(fault::next(fault::site::send));
    EXPECT_EQ(0, fault::next(fault::site::recv));
    fault::configure(nullptr, 0);
    EXPECT_EQ(before + 4, fault::injected(fault::site::send));
    int failed = 0;
    for (int i = 0; i < 12; ++i) {
        if ((i + 1) % 3 != 0) {
            EXPECT_EQ(0, answers[i]) << i;
            continue;
        }
        ++failed;
        EXPECT_NE(0, answers[i]) << i;
    }
    EXPECT_EQ(4, failed);
    EXPECT_EQ(0, fault::next(fault::site::send));
}

TEST(FaultSchedule, RandomSchedulesRepeatWithTheirSeedAndCodesCanBeNamed) {
    auto draw = [](std::uint64_t seed) {
        EXPECT_TRUE(fault::configure("read:random=0.25:err=EIO/ENOSPC", seed));
        std::vector<int> answers;
        for (int i = 0; i < 400; ++i) answers.push_back(fault::next(fault::site::read));
        fault::configure(nullptr, 0);
        return answers;
    };
    const auto first = draw(7), again = draw(7), other = draw(8);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    int failed = 0;
    for (int answer : first) {
        if (answer == 0) continue;
        ++failed;
        EXPECT_TRUE(answer == EIO || answer == ENOSPC) << answer;
    }
    EXPECT_GT(failed, 60);
    EXPECT_LT(failed, 140);
}

TEST(FaultSchedule, InvalidSchedulesAreRefusedAndChangeNothing) {
    for (const char* bad : {"send", "send:every=0", "nowhere:every=2", "send:random=2", "send:every=2:err=EFOO",
                            "send:often=2", "send:every=x"}) {
        EXPECT_FALSE(fault::configure(bad, 1)) << bad;
    }
    EXPECT_TRUE(fault::configure("all:every=1,recv:every=2", 1));
    EXPECT_NE(0, fault::next(fault::site::event));
    EXPECT_EQ(0, fault::next(fault::site::recv));
    EXPECT_NE(0, fault::next(fault::site::recv));
    EXPECT_TRUE(fault::configure("", 1));
    EXPECT_EQ(0, fault::next(fault::site::event));
}

// Requests started under a schedule: each accepted one must end exactly once.
class request_ledger {
public:
    explicit request_ledger(recording_sink* sink) : _sink(sink) {}
    // After the call that starts `op`: waits for its completion when accepted.
    recording_sink::record track(IAsynIoOperation* op, HRESULT started, const dispatch_waiter& waiter) {
        const int before = _expected[op];
        if (started != S_OK) {
            ++refused;
            return recording_sink::record{1, 0, _sink->get(op).count};
        }
        const int expected = before + 1;
        _expected[op] = expected;
        const bool arrived = waiter.until([&] { return _sink->get(op).count >= expected; }, hard_limit);
        EXPECT_TRUE(arrived) << "a request did not complete within the hard limit";
        const auto result = _sink->get(op);
        if (result.error != 0) ++failed; else ++succeeded;
        return result;
    }
    // Every request completed as often as it was started, no more.
    void check(const dispatch_waiter& waiter) {
        waiter.until([] { return false; }, std::chrono::milliseconds(200));
        for (const auto& [op, expected] : _expected)
            EXPECT_EQ(expected, _sink->get(op).count) << "completions of one operation";
        std::printf("[ faults   ] requests: %d succeeded, %d failed, %d refused at the call\n", succeeded, failed,
                    refused);
    }
    int succeeded = 0, failed = 0, refused = 0;

private:
    recording_sink* _sink;
    std::map<IAsynIoOperation*, int> _expected;
};

class FaultTcp : public objects_test {
protected:
    void after_release() override {
        for (const sock_t fd : clients) close_sock(fd);
    }
    std::vector<sock_t> clients;
};

// Accepts, writes and reads over loopback with sends, receives, accepts and
// new sockets failing; the far end is a plain socket with a receive time-out.
TEST_P(FaultTcp, AcceptWriteAndReadEndOnceEach) {
    IAsynTcpListener2* listener = nullptr;
    ASSERT_EQ(S_OK, socket_factory::create_tcp_listener(env->services(), IID_IAsynTcpListener2,
                                                         reinterpret_cast<void**>(&listener)));
    keep(listener);
    IAsynIoOperation* listen_op = operation(0);
    env->run([&] { EXPECT_EQ(S_OK, listener->Listen(0, listen_op)); });
    ASSERT_EQ(0u, sink->wait(listen_op).error);
    WORD port = 0;
    std::string text;
    auto* setter = new CStringSetter(text);
    env->run([&] { EXPECT_EQ(S_OK, listener->GetLocalAddress(setter, &port)); });
    setter->Release();
    ASSERT_NE(0, port);

    request_ledger ledger(sink);
    {
        schedule faults("send:every=3,recv:every=4,accept:every=5,socket:every=7", 1);
        constexpr DWORD block = 64 * 1024;
        for (int round = 0; round < 24; ++round) {
            IAsynIoOperation* accept_op = operation(0);
            HRESULT hr = E_FAIL;
            env->run([&] { hr = listener->Accept(accept_op); });
            const sock_t client = connect_client(port);
            ASSERT_NE(bad_sock, client);
            clients.push_back(client);
            timeval limit{2, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            if (hr != S_OK) {
                ledger.track(accept_op, hr, env->waiter());
                break;  // a listener that refuses accepting stays so
            }
            const auto accepted = ledger.track(accept_op, hr, env->waiter());
            if (accepted.count != 1 || accepted.error != 0) continue;
            IUnknown* object = nullptr;
            accept_op->GetResultObject(&object);
            accept_op->SetResultObject(nullptr);
            ASSERT_NE(nullptr, object);
            IAsynTcpSocket* server = nullptr;
            object->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&server));
            object->Release();
            ASSERT_NE(nullptr, server);
            keep(server);

            IAsynIoOperation* write = operation(block);
            for (DWORD i = 0; i < block; ++i) buffer_of(write)[i] = static_cast<BYTE>(i * 31 + round);
            env->run([&] { hr = server->Write(write); });
            const auto wrote = ledger.track(write, hr, env->waiter());
            if (hr == S_OK && wrote.error == 0) {
                EXPECT_EQ(block, wrote.bytes);
                std::vector<std::uint8_t> received(block);
                if (recv_all(client, received.data(), block)) {
                    EXPECT_EQ(0, std::memcmp(received.data(), buffer_of(write), block)) << "round " << round;
                }
            }
            IAsynIoOperation* read = operation(64);
            env->run([&] { hr = server->Read(read); });
            send_all(client, reinterpret_cast<const std::uint8_t*>("world!"), 6);
            const auto got = ledger.track(read, hr, env->waiter());
            if (hr == S_OK && got.error == 0 && got.bytes > 0) {
                EXPECT_LE(got.bytes, 6u);
                EXPECT_EQ(0, std::memcmp(buffer_of(read), "world!", got.bytes));
            }
            env->run([&] { server->Close(); });
        }
        EXPECT_GT(faults.injected(), 0u);
    }
    ledger.check(env->waiter());
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultTcp, all_modes(), mode_label);

class FaultFile : public objects_test {
protected:
    void SetUp() override {
        objects_test::SetUp();
        if (!env) return;
        folder = std::make_unique<testing_support::scratch_folder>();
        file_services::create_helper(*env->services());
        file_services::start_helper(*env->services());
    }
    void after_release() override {
        file_services::stop_helper(*env->services());
        file_services::destroy_helper(*env->services());
        folder.reset();
    }
    std::unique_ptr<testing_support::scratch_folder> folder;
};

// Writes and reads back blocks with reads and writes failing or coming short,
// and opens failing.
TEST_P(FaultFile, WritesAndReadsEndOnceEach) {
    request_ledger ledger(sink);
    {
        schedule faults("write:every=3,read:every=4,open:every=5", 3);
        constexpr DWORD block = 64 * 1024;
        for (int round = 0; round < 12; ++round) {
            IAsynFile* file = nullptr;
            ASSERT_EQ(S_OK, file_services::create_file_object(env->services(), &file));
            keep(file);
            const std::string name = folder->file(("data" + std::to_string(round)).c_str());
            HRESULT hr = E_FAIL;
            env->run([&] {
                hr = file->Open(static_cast<DWORD>(name.size()), name.data(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ, CREATE_ALWAYS, 0);
            });
            if (hr != S_OK) continue;
            for (int piece = 0; piece < 4; ++piece) {
                IAsynIoOperation* write = operation(block);
                for (DWORD i = 0; i < block; ++i) buffer_of(write)[i] = static_cast<BYTE>(i * 13 + piece + round);
                write->SetPosition(piece * block, 0);
                env->run([&] { hr = file->WriteFully(write); });
                const auto wrote = ledger.track(write, hr, env->waiter());
                IAsynIoOperation* read = operation(block);
                read->SetPosition(piece * block, 0);
                env->run([&] { hr = file->ReadFully(read); });
                const auto got = ledger.track(read, hr, env->waiter());
                if (wrote.error == 0 && wrote.count == 1 && got.error == 0 && got.count == 1) {
                    ASSERT_EQ(block, got.bytes);
                    EXPECT_EQ(0, std::memcmp(buffer_of(read), buffer_of(write), block)) << round << " " << piece;
                }
            }
            env->run([&] { file->Close(); });
        }
        EXPECT_GT(faults.injected(), 0u);
    }
    ledger.check(env->waiter());
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultFile, all_modes(), mode_label);

// Frames started while events, threads and pages cannot be made: each start
// either stands or fails with an error, and whatever was made is let go.
TEST(FaultFrame, StartsWithEventsThreadsAndPagesFailingEndCleanly) {
    int stood = 0, refused = 0;
    for (int every = 1; every <= 14; ++every) {
        for (engine_mode mode : {engine_mode::port, engine_mode::alertable}) {
            if (ring_missing(mode)) continue;
            auto* object = new CAsynFrame();
            {
                auto host = std::make_unique<frame_host>(static_cast<IAsynFrame3*>(object),
                                                         static_cast<IAsynFramePlugin*>(object), mode);
                HRESULT hr = E_FAIL;
                {
                    const std::string plan = "event:every=" + std::to_string(every) +
                                             ",thread:every=" + std::to_string(every + 1) + ",alloc:every=2";
                    schedule faults(plan.c_str(), 1);
                    hr = host->start();
                    if (hr == S_OK) {
                        // The memory pages service under ENOMEM: a page or a null, never a crash.
                        for (int i = 0; i < 4; ++i) {
                            void* page = nullptr;
                            host->on_dispatch([&] { EXPECT_TRUE(object->AllocPage(&page) == S_OK || page == nullptr); });
                            if (page != nullptr) host->on_dispatch([&] { object->FreePage(page); });
                        }
                    }
                }
                if (hr == S_OK) {
                    ++stood;
                    EXPECT_EQ(S_OK, host->stop());
                } else {
                    ++refused;
                }
            }
            object->Release();
            EXPECT_TRUE(wait_until([] { return live_component_objects() == 0; }, short_pause,
                                   std::chrono::seconds(5)))
                << live_component_objects() << " component objects left";
        }
    }
    std::printf("[ faults   ] frames: %d stood, %d refused to start\n", stood, refused);
}

}  // namespace

// The accept thread that serves listeners for a backend that cannot finish
// accepts itself. Both Linux backends can, so the frame never starts it here;
// the suite starts it and submits to it directly, in every mode.
#include <map>
#include <mutex>
#include <vector>

#include "common/portable.h"
#include "common/socket_fixture.h"
#include "socket/asyn_socket_device.h"
#include "support/exceptions.h"

namespace {

using namespace asynframe;
using namespace asynframe::harness;

// Counts completions per engine operation, with their results.
class counting_handler : public asyn_io_handler_base {
public:
    struct outcome {
        int completions = 0;
        std::uint32_t error = 0;
        bool has_device = false;
    };
    void on_io_complete(asyn_io_operation* operation) override {
        std::uint32_t bytes = 0, error = 0;
        operation->get_result(bytes, error);
        std::lock_guard<std::mutex> guard(lock);
        outcome& entry = outcomes[operation];
        ++entry.completions;
        entry.error = error;
        entry.has_device = operation->attached_device() != nullptr;
        ++total;
    }
    outcome get(asyn_io_operation* operation) {
        std::lock_guard<std::mutex> guard(lock);
        return outcomes[operation];
    }
    std::mutex lock;
    std::map<asyn_io_operation*, outcome> outcomes;
    std::atomic<int> total{0};
};

class AcceptManagerTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        env = std::make_unique<engine_env>(GetParam());
        acceptor = env->services()->accept_manager_ptr;
        ASSERT_NE(nullptr, acceptor);
        // The engine has started it already where the backend cannot accept by
        // itself (alertable mode on Windows): started again with the test's limit.
        acceptor->stop();
        acceptor->set_max_accepting(50);
        acceptor->start();
        listener = std::make_unique<asyn_socket_device_imp>(env->services());
        listener->listen(htonl(INADDR_LOOPBACK), 0);
        port = listener->local_port();
    }
    void TearDown() override {
        if (!env) return;
        // A SetUp that failed midway leaves no listener: the failure is reported, not a crash.
        if (listener) env->run([&] { listener->close(); });
        ASSERT_TRUE(env->wait_until([&] {
            for (asyn_io_operation* op : operations)
                if (op->is_pending()) return false;
            return true;
        }));
        for (asyn_io_operation* op : operations) delete op;
        for (const sock_t fd : clients) close_sock(fd);
        listener.reset();
        env.reset();
    }
    asyn_io_operation* submit_accept() {
        auto* op = new asyn_io_operation(env->services(), static_cast<asyn_io_handler_base*>(&handler), 0);
        operations.push_back(op);
        env->run([&] {
            // As the listening device prepares a request for the thread.
            op->clear_request();
            op->set_operate_handle(listener->handle());
            op->set_preset_result(0, 0);
            op->set_operation_type(operation_type::accept);
            op->set_result_preset(true);
            op->mark_pending();
            acceptor->submit(op);
        });
        return op;
    }

    std::unique_ptr<engine_env> env;
    accept_manager* acceptor = nullptr;
    std::unique_ptr<asyn_socket_device_imp> listener;
    std::uint16_t port = 0;
    counting_handler handler;
    std::vector<asyn_io_operation*> operations;
    std::vector<sock_t> clients;
};

TEST_P(AcceptManagerTest, WaitingConnectionIsTakenAtOnce) {
    const sock_t client = connect_client(port);
    ASSERT_NE(client, bad_sock);
    clients.push_back(client);
    asyn_io_operation* op = submit_accept();
    ASSERT_TRUE(env->wait_until([&] { return handler.get(op).completions == 1; }));
    const auto result = handler.get(op);
    EXPECT_EQ(0u, result.error);
    EXPECT_TRUE(result.has_device);
    EXPECT_EQ(0, acceptor->accepting_count());
}

TEST_P(AcceptManagerTest, RequestsBeyondTheLimitWaitForAPlace) {
    EXPECT_EQ(50, acceptor->max_accepting());
    for (int i = 0; i < 53; ++i) submit_accept();
    EXPECT_EQ(50, acceptor->accepting_count());
    EXPECT_EQ(3u, acceptor->queued_count());

    for (int i = 1; i <= 2; ++i) {
        const sock_t client = connect_client(port);
        ASSERT_NE(client, bad_sock);
        clients.push_back(client);
        ASSERT_TRUE(env->wait_until([&] { return handler.total.load() == i; }));
        // The freed place went to the oldest queued request.
        ASSERT_TRUE(env->wait_until([&] { return acceptor->queued_count() == static_cast<std::size_t>(3 - i); }));
        EXPECT_EQ(50, acceptor->accepting_count());
    }

    // Stopping the thread completes everything still waiting with 995, once.
    acceptor->stop();
    ASSERT_TRUE(env->wait_until([&] { return handler.total.load() == 53; }));
    int accepted = 0, aborted = 0;
    for (asyn_io_operation* op : operations) {
        const auto result = handler.get(op);
        EXPECT_EQ(1, result.completions);
        if (result.error == 0) {
            EXPECT_TRUE(result.has_device);
            ++accepted;
        } else {
            EXPECT_EQ(995u, result.error);
            EXPECT_FALSE(result.has_device);
            ++aborted;
        }
    }
    EXPECT_EQ(2, accepted);
    EXPECT_EQ(51, aborted);
    EXPECT_EQ(0, acceptor->accepting_count());
    EXPECT_EQ(0u, acceptor->queued_count());

    // With the thread gone a new request cannot wait: it is aborted too.
    asyn_io_operation* late = submit_accept();
    ASSERT_TRUE(env->wait_until([&] { return handler.get(late).completions == 1; }));
    EXPECT_EQ(995u, handler.get(late).error);
}

TEST_P(AcceptManagerTest, ClosingTheListenerAbortsItsRequests) {
    asyn_io_operation* first = submit_accept();
    asyn_io_operation* second = submit_accept();
    env->run([&] { listener->close(); });
    ASSERT_TRUE(env->wait_until([&] { return handler.total.load() == 2; }));
    EXPECT_EQ(995u, handler.get(first).error);
    EXPECT_EQ(995u, handler.get(second).error);
    EXPECT_EQ(0, acceptor->accepting_count());
}

INSTANTIATE_TEST_SUITE_P(Modes, AcceptManagerTest, all_modes(), mode_label);

TEST(AcceptManagerLimits, LimitIsCappedAt62) {
    singleton_instance services;
    accept_manager acceptor(&services, 100);
    EXPECT_EQ(62, acceptor.max_accepting());
    acceptor.set_max_accepting(50);
    EXPECT_EQ(50, acceptor.max_accepting());
    acceptor.set_max_accepting(63);
    EXPECT_EQ(62, acceptor.max_accepting());
}

TEST(SocketDeviceErrors, ListenFailuresCarryTheirCodes) {
    engine_env env(engine_mode::port);
    asyn_socket_device_imp first(env.services());
    first.listen(htonl(INADDR_LOOPBACK), 0);
    asyn_socket_device_imp second(env.services());
    try {
        second.listen(htonl(INADDR_LOOPBACK), first.local_port());
        FAIL() << "a busy port was bound";
    } catch (const socket_exception& failure) {
        EXPECT_EQ(10048u, failure.code());
        EXPECT_STREQ("bind call error, error code: 10048", failure.what());
    }
    asyn_socket_device_imp idle(env.services());
    platform::socket_address_v4 address;
    try {
        idle.local_address(address);
        FAIL() << "an address without a socket";
    } catch (const std::exception& failure) {
        EXPECT_STREQ("_socket_handle is invalid.", failure.what());
    }
}

}  // namespace

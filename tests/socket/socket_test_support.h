// Shared pieces of the socket tests: an engine in either mode with the
// acceptor, running code on its dispatch thread, operation objects with a
// recording sink, and plain loopback clients.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "asynframe/socket.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "component/asyn_io_operation_object.h"
#include "socket/accept_manager.h"
#include "socket/socket_factory.h"
#include "socket/socket_services.h"

namespace socket_test {

using namespace asynframe;

enum class mode { port, alertable };

inline std::string mode_name(const ::testing::TestParamInfo<mode>& info) {
    return info.param == mode::port ? "port" : "alertable";
}

// Polls `done` until it holds or the hard limit passes.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs a function on the dispatch thread when its posted operation completes.
class task_handler : public asyn_io_handler_base {
public:
    std::function<void()> task;
    std::atomic<bool> done{false};
    void on_io_complete(asyn_io_operation*) override {
        task();
        done = true;
    }
};

class engine_env {
public:
    explicit engine_env(mode m) : _mode(m) {
        _services.operation_objects_ptr = &_objects;
        _manager = std::make_unique<asyn_io_manager>(&_services, m == mode::alertable);
        _services.asyn_io_manager_ptr = _manager.get();
        socket_services::create_accept_manager(_services);
        socket_services::start_accept_manager(_services);
        _manager->start();
    }
    ~engine_env() { shutdown(); }

    // Engine first, then the acceptor, as the frame does.
    void shutdown() {
        if (!_manager) return;
        _manager->stop();
        socket_services::stop_accept_manager(_services);
        socket_services::destroy_accept_manager(_services);
        _manager.reset();
        _services.asyn_io_manager_ptr = nullptr;
    }

    singleton_instance* services() { return &_services; }
    asyn_io_manager& manager() { return *_manager; }
    bool alertable() const { return _mode == mode::alertable; }

    // Runs `task` on the dispatch thread and waits for it.
    void run(const std::function<void()>& task) {
        task_handler handler;
        handler.task = task;
        auto* operation = new asyn_io_operation(&_services, static_cast<asyn_io_handler_base*>(&handler), 0);
        ASSERT_TRUE(_manager->post(operation));
        const bool finished = wait_until([&] { return handler.done.load(); });
        ASSERT_TRUE(finished) << "dispatch task did not run";
        delete operation;
    }

private:
    mode _mode;
    singleton_instance _services;
    CAsynIoOperationObjects _objects{&_services};
    std::unique_ptr<asyn_io_manager> _manager;
};

// Records every completion (error, bytes) per operation; an optional hook runs
// on the dispatch thread after the record is made.
class recording_sink final : public IAsynIoOperationEvents {
public:
    struct record {
        DWORD error = 0;
        DWORD bytes = 0;
        int count = 0;
    };

    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IAsynIoOperationEvents) {
            *object = static_cast<IAsynIoOperationEvents*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG ASYNFRAME_STDCALL AddRef() override { return ++_references; }
    ULONG ASYNFRAME_STDCALL Release() override {
        const ULONG left = --_references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        {
            std::lock_guard<std::mutex> guard(_lock);
            record& entry = _records[operation];
            entry.error = error;
            entry.bytes = bytes;
            ++entry.count;
        }
        ++total;
        if (hook) hook(operation, error, bytes);
        return S_OK;
    }

    record get(IAsynIoOperation* operation) {
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = _records.find(operation);
        return found == _records.end() ? record{} : found->second;
    }
    bool completed(IAsynIoOperation* operation) { return get(operation).count > 0; }
    // Waits for the operation's next completion (count reaching `count`).
    record wait(IAsynIoOperation* operation, int count = 1) {
        const bool arrived = wait_until([&] { return get(operation).count >= count; });
        EXPECT_TRUE(arrived) << "operation did not complete";
        return get(operation);
    }

    std::function<void(IAsynIoOperation*, DWORD, DWORD)> hook;
    std::atomic<int> total{0};

private:
    std::atomic<ULONG> _references{1};
    std::mutex _lock;
    std::map<IAsynIoOperation*, record> _records;
};

// An operation object with a buffer of `size` bytes, ready for a request.
inline IAsynIoOperation* make_operation(engine_env& env, recording_sink* sink, DWORD size) {
    IAsynIoOperation* operation = nullptr;
    EXPECT_EQ(S_OK, CAsynIoOperation::create(env.services(), sink, IID_IAsynIoOperation,
                                             reinterpret_cast<void**>(&operation)));
    operation->SetTag(0);
    if (size != 0) {
        operation->AllocBuffer(size);
        operation->SetRange(0, size);
    }
    return operation;
}

// An engine in the mode under test, a completion sink, and the component
// objects a test made, released before the engine goes.
class objects_test : public ::testing::TestWithParam<mode> {
protected:
    void SetUp() override {
        env = std::make_unique<engine_env>(GetParam());
        sink = new recording_sink;
    }
    void TearDown() override {
        for (IUnknown* object : owned) object->Release();
        after_release();
        env.reset();
        sink->Release();
    }
    // Runs once the objects are gone and before the engine stops.
    virtual void after_release() {}

    template <class T>
    T* keep(T* object) {
        owned.push_back(object);
        return object;
    }
    IAsynIoOperation* operation(DWORD size) { return keep(make_operation(*env, sink, size)); }

    std::unique_ptr<engine_env> env;
    recording_sink* sink = nullptr;
    std::vector<IUnknown*> owned;
};

inline BYTE* buffer_of(IAsynIoOperation* operation) {
    BYTE* buffer = nullptr;
    operation->GetBuffer(&buffer, nullptr);
    return buffer;
}

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A blocking client connected to 127.0.0.1:port, or -1.
inline int connect_client(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool recv_all(int fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

inline std::uint8_t pattern_byte(std::size_t index, std::uint8_t seed) {
    return static_cast<std::uint8_t>((index * 131 + seed) ^ (index >> 11));
}

}  // namespace socket_test

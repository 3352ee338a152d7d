// An engine with the acceptor in any of the four modes, running code on its
// dispatch thread, component operation objects with a recording sink, and the
// fixture of the socket suites.
//
// In UI-thread modes the engine starts on the test thread, which is then the
// dispatch thread: tasks run directly and every wait pumps its frame queue.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "asynframe/com_helpers.h"
#include "asynframe/socket.h"
#include "common/harness.h"
#include "common/loopback.h"
#include "component/asyn_io_operation_object.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "socket/accept_manager.h"
#include "socket/socket_factory.h"
#include "socket/socket_services.h"

namespace asynframe::harness {

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
    explicit engine_env(engine_mode mode) : _mode(mode), _waiter(is_ui(mode)) {
        _services.operation_objects_ptr = &_objects;
        _manager = std::make_unique<asyn_io_manager>(&_services, is_alertable(mode));
        _manager->set_ui_mode(is_ui(mode));
        _services.asyn_io_manager_ptr = _manager.get();
        socket_services::create_connect_manager(_services);
        socket_services::create_accept_manager(_services);
        socket_services::start_accept_manager(_services);
        socket_services::start_connect_manager(_services);
        _manager->start();
    }
    ~engine_env() { shutdown(); }
    engine_env(const engine_env&) = delete;
    engine_env& operator=(const engine_env&) = delete;

    // Engine first, then the scheduler and the acceptor, as the frame does.
    void shutdown() {
        if (!_manager) return;
        _manager->stop();
        socket_services::stop_connect_manager(_services);
        socket_services::stop_accept_manager(_services);
        socket_services::destroy_accept_manager(_services);
        socket_services::destroy_connect_manager(_services);
        _manager.reset();
        _services.asyn_io_manager_ptr = nullptr;
    }

    singleton_instance* services() { return &_services; }
    asyn_io_manager& manager() { return *_manager; }
    engine_mode mode() const { return _mode; }
    bool alertable() const { return is_alertable(_mode); }
    bool ui() const { return is_ui(_mode); }
    const dispatch_waiter& waiter() const { return _waiter; }

    // Waits (pumping in UI-thread modes) until `done` holds; false after the limit.
    bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return _waiter.until(done, limit);
    }

    // Runs `task` on the dispatch thread and waits for it.
    void run(const std::function<void()>& task) {
        if (ui()) {
            task();
            return;
        }
        task_handler handler;
        handler.task = task;
        auto* operation = new asyn_io_operation(&_services, static_cast<asyn_io_handler_base*>(&handler), 0);
        ASSERT_TRUE(_manager->post(operation));
        const bool finished = wait_until([&] { return handler.done.load(); });
        ASSERT_TRUE(finished) << "dispatch task did not run";
        delete operation;
    }

private:
    engine_mode _mode;
    dispatch_waiter _waiter;
    singleton_instance _services;
    CAsynIoOperationObjects _objects{&_services};
    std::unique_ptr<asyn_io_manager> _manager;
};

// Records every completion (error, bytes) per operation; an optional hook runs
// on the dispatch thread after the record is made.
class recording_sink final : public com_interfaces<recording_sink, IAsynIoOperationEvents>, public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>;

    struct record {
        DWORD error = 0;
        DWORD bytes = 0;
        int count = 0;
    };

    explicit recording_sink(const dispatch_waiter& waiter) : _waiter(waiter) {}

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
        const bool arrived = _waiter.until([&] { return get(operation).count >= count; }, std::chrono::seconds(30));
        EXPECT_TRUE(arrived) << "operation did not complete";
        return get(operation);
    }

    std::function<void(IAsynIoOperation*, DWORD, DWORD)> hook;
    std::atomic<int> total{0};

private:
    ~recording_sink() override = default;
    dispatch_waiter _waiter;
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

inline BYTE* buffer_of(IAsynIoOperation* operation) {
    BYTE* buffer = nullptr;
    operation->GetBuffer(&buffer, nullptr);
    return buffer;
}

// An engine in the mode under test, a completion sink, and the component
// objects a test made, released before the engine goes.
class objects_test : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
        env = std::make_unique<engine_env>(GetParam());
        sink = new recording_sink(env->waiter());
    }
    void TearDown() override {
        if (!env) return;
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

}  // namespace asynframe::harness

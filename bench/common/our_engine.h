// This library's engine as the benchmarks drive it: the engine with the
// services a case needs, started and stopped in the frame's order, and the
// small component helpers every case uses.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "bench_support.h"
#include "asynframe/com_helpers.h"
#include "component/asyn_io_operation_object.h"
#include "engine/asyn_io_manager.h"
#include "file/file_services.h"
#include "socket/socket_services.h"
#include "support/setting.h"

namespace asynframe_bench {

using namespace asynframe;

// The host's settings of a case: integers by section and key, nothing else.
class bench_settings final : public com_interfaces<bench_settings, ISettingsProvider>, public owner_held {
public:
    void set(const std::string& section, const std::string& key, UINT value) { _values[section + "/" + key] = value; }

    using interfaces = no_interfaces;
    HRESULT ASYNFRAME_STDCALL GetString(UINT, const char*, UINT, const char*, IStringSetter*) override {
        return E_FAIL;
    }
    HRESULT ASYNFRAME_STDCALL GetInteger(UINT section_length, const char* section, UINT key_length,
                                         const char* key, UINT* value) override {
        const auto found = _values.find(std::string(section, section_length) + "/" + std::string(key, key_length));
        if (found == _values.end()) return E_FAIL;
        *value = found->second;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL SetInteger(UINT, const char*, UINT, const char*, UINT) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL GetBoolean(UINT, const char*, UINT, const char*, UINT*) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL SetBoolean(UINT, const char*, UINT, const char*, UINT) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL SetString(UINT, const char*, UINT, const char*, UINT, const char*) override {
        return E_FAIL;
    }

private:
    std::map<std::string, UINT> _values;
};

// The services besides the engine.
enum engine_part : unsigned { with_acceptor = 1, with_scheduler = 2, with_file_helper = 4 };

// An engine on the ring or on the readiness loop, with the parts asked for.
class our_engine {
public:
    our_engine(bool readiness, unsigned parts, ISettingsProvider* provider) : _settings(provider) {
        _services.operation_objects_ptr = &_objects;
        _services.setting_ptr = &_settings;
        _manager = std::make_unique<asyn_io_manager>(&_services, readiness);
        if (_manager->use_completion_port() == readiness) give_up("choosing the engine's backend");
        _services.asyn_io_manager_ptr = _manager.get();
        if (parts & with_scheduler) socket_services::create_connect_manager(_services);
        if (parts & with_acceptor) socket_services::create_accept_manager(_services);
        if (parts & with_file_helper) file_services::create_helper(_services);
        socket_services::start_accept_manager(_services);
        socket_services::start_connect_manager(_services);
        file_services::start_helper(_services);
        _manager->start();
    }
    ~our_engine() {
        _manager->stop();
        file_services::stop_helper(_services);
        socket_services::stop_connect_manager(_services);
        socket_services::stop_accept_manager(_services);
        file_services::destroy_helper(_services);
        socket_services::destroy_accept_manager(_services);
        socket_services::destroy_connect_manager(_services);
    }
    our_engine(const our_engine&) = delete;
    our_engine& operator=(const our_engine&) = delete;

    singleton_instance* services() { return &_services; }

private:
    setting _settings;
    singleton_instance _services;
    CAsynIoOperationObjects _objects{&_services};
    std::unique_ptr<asyn_io_manager> _manager;
};

// Calls a function for every completion, on the dispatch thread; once the
// function is cleared, completions are dropped.
using callback_sink = completion_sink;

inline IAsynIoOperation* our_operation(our_engine& engine, callback_sink* sink, DWORD size, LONG tag = 0) {
    IAsynIoOperation* operation = nullptr;
    CAsynIoOperation::create(engine.services(), sink, IID_IAsynIoOperation, reinterpret_cast<void**>(&operation));
    operation->SetTag(tag);
    if (size != 0) {
        operation->AllocBuffer(size);
        operation->SetRange(0, size);
    }
    return operation;
}

// Runs `work` on the dispatch thread without waiting for it: it is the
// completion of an operation posted with a preset result, delivered to a sink
// of its own; both go away after it.
inline void post_to_dispatch(our_engine& engine, std::function<void()> work) {
    auto* kick_sink = new callback_sink;
    kick_sink->on_complete = [kick_sink, work = std::move(work)](IAsynIoOperation* kick, DWORD, DWORD) {
        work();
        kick->Release();       // the creator's reference; the request still holds one
        kick_sink->Release();  // the delivery holds the sink until the callback returns
    };
    IAsynIoOperation* kick = our_operation(engine, kick_sink, 0);
    CAsynIoOperation* object = CAsynIoOperation::resolve(kick);
    object->AddRef();  // the posted request's reference
    object->engine_operation()->set_preset_result(0, 0);
    if (!object->engine_operation()->post()) give_up("posting to the dispatch thread");
}

// Runs `work` on the dispatch thread and waits for it (set-up and teardown).
inline void on_dispatch(our_engine& engine, const std::function<void()>& work) {
    batch_signal done;
    post_to_dispatch(engine, [&] {
        work();
        done.raise();
    });
    if (!done.wait()) give_up("a call on the dispatch thread");
}

}  // namespace asynframe_bench

// A frame driven from the host's side in any of the four engine modes: a
// recording sink for every callback interface, a host that starts the frame
// and runs code on its dispatch thread, and the fixture of the frame suites.
//
// Alertable modes come from the "system"/"force_win98" setting handed to
// Initialize; UI-thread modes from its run_in_ui_thread flag, the test thread
// then being the dispatch thread that pumps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "asynframe/asynframe.h"
#include "asynframe/com_helpers.h"
#include "common/harness.h"
#include "component/unknown_base.h"
#include "engine/asyn_io_manager.h"
#include "frame/asyn_frame.h"

namespace asynframe::harness {

// Counts its own references and records every callback it gets.
class recorder final : public com_interfaces<recorder, IAsynFrameEvents, IAsynTimerEvents, IAsynMessageEvents,
                                             IAsynIoOperationEvents>,
                       public atomic_ref_count {
public:
    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynFrameEvents>,
                                       interface_entry<IID_IAsynFrameEvents, IAsynFrameEvents>,
                                       interface_entry<IID_IAsynTimerEvents, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynMessageEvents, IAsynMessageEvents>,
                                       interface_entry<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>>;

    HRESULT ASYNFRAME_STDCALL OnFrameStart() override {
        start_thread = std::this_thread::get_id();
        record("start");
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnFrameStop() override {
        record("stop");
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        record("timer " + std::to_string(id));
        if (on_timer) on_timer(id);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD a, DWORD b, DWORD c) override {
        record("message " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
        if (on_message) on_message(a, b, c);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD a, DWORD b, DWORD c) override {
        record("canceled " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        record("complete " + std::to_string(error) + " " + std::to_string(bytes));
        if (on_complete) on_complete(operation);
        return S_OK;
    }

    std::vector<std::string> log() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _log;
    }
    std::size_t count(const std::string& prefix) const {
        std::lock_guard<std::mutex> guard(_lock);
        std::size_t n = 0;
        for (const std::string& line : _log)
            if (line.compare(0, prefix.size(), prefix) == 0) ++n;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(_lock);
        _log.clear();
    }
    std::function<void(DWORD)> on_timer;
    std::function<void(DWORD, DWORD, DWORD)> on_message;
    std::function<void(IAsynIoOperation*)> on_complete;
    std::thread::id start_thread;

private:
    ~recorder() override = default;
    void record(std::string line) {
        std::lock_guard<std::mutex> guard(_lock);
        _log.push_back(std::move(line));
    }

    mutable std::mutex _lock;
    std::vector<std::string> _log;
};

// Runs closures on the dispatch thread through synchronous frame messages.
class dispatcher final : public com_interfaces<dispatcher, IAsynMessageEvents>, public atomic_ref_count {
public:
    using interfaces = no_interfaces;
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD, DWORD, DWORD) override {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(_lock);
            work = std::move(_work.front());
            _work.erase(_work.begin());
        }
        work();
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override { return S_OK; }

    void push(std::function<void()> work) {
        std::lock_guard<std::mutex> guard(_lock);
        _work.push_back(std::move(work));
    }

private:
    ~dispatcher() override = default;
    std::mutex _lock;
    std::vector<std::function<void()>> _work;
};

// The host's settings: "system"/"force_win98" is 1 in alertable modes; texts
// and booleans a test sets, by "section/key"; every other value is left to its
// default.
class mode_settings final : public map_settings {
public:
    explicit mode_settings(bool force_win98) {
        if (force_win98) set("system", "force_win98", std::uint32_t{1});
    }
    void set_text(const std::string& name, const std::string& text) {
        const std::size_t slash = name.find('/');
        set(name.substr(0, slash), name.substr(slash + 1), text);
    }
    void set_bool(const std::string& name, bool value) {
        const std::size_t slash = name.find('/');
        set_boolean(name.substr(0, slash), name.substr(slash + 1), value);
    }

private:
    ~mode_settings() override = default;
};

// A frame started in one mode: the host's view of it plus helpers to wait and
// to run code on its dispatch thread. The frame object is created by the
// caller; `pump` is the frame module's asynframe_ui_thread_wait when it is not
// this program's own.
class frame_host {
public:
    frame_host(IAsynFrame3* frame, IAsynFramePlugin* plugin, engine_mode mode, pump_function pump = nullptr)
        : frame(frame), plugin(plugin), mode(mode), _waiter(is_ui(mode), pump),
          _settings(new mode_settings(is_alertable(mode))) {}
    ~frame_host() { _settings->Release(); }
    frame_host(const frame_host&) = delete;
    frame_host& operator=(const frame_host&) = delete;

    bool ui() const { return is_ui(mode); }
    bool alertable() const { return is_alertable(mode); }
    const dispatch_waiter& waiter() const { return _waiter; }
    mode_settings& settings() { return *_settings; }

    HRESULT start() {
        const HRESULT hr = plugin->Initialize(ui() ? 1 : 0, _settings, nullptr, 0);
        if (SUCCEEDED(hr)) {
            _dispatcher = new dispatcher;
            frame->RegisterReceiver(_dispatcher);
        }
        return hr;
    }

    HRESULT stop() {
        if (_dispatcher != nullptr) {
            frame->UnregisterReceiver(_dispatcher);
            _dispatcher->Release();
            _dispatcher = nullptr;
        }
        return plugin->Uninitialize();
    }

    // Pumps (UI-thread modes) or waits until `done` holds; false after the limit.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return _waiter.until(done, limit);
    }

    // Runs `work` on the dispatch thread and returns when it has run.
    void on_dispatch(std::function<void()> work) {
        _dispatcher->push(std::move(work));
        frame->SendFrameMessage(_dispatcher, 0, 0, 0);
    }

    // Keeps the dispatch thread from delivering anything until release_dispatch().
    void hold_dispatch() {
        if (ui()) return;  // nothing is delivered while the test does not pump
        _held = false;
        _gate_open = false;
        _dispatcher->push([this] {
            std::unique_lock<std::mutex> guard(_gate_lock);
            _held = true;
            _gate_changed.notify_all();
            _gate_changed.wait(guard, [this] { return _gate_open; });
        });
        frame->PostFrameMessage(_dispatcher, 0, 0, 0);
        std::unique_lock<std::mutex> guard(_gate_lock);
        _gate_changed.wait_for(guard, std::chrono::seconds(10), [this] { return _held; });
    }
    void release_dispatch() {
        if (ui()) return;
        std::lock_guard<std::mutex> guard(_gate_lock);
        _gate_open = true;
        _gate_changed.notify_all();
    }

    IAsynFrame3* frame;
    IAsynFramePlugin* plugin;
    engine_mode mode;

private:
    dispatch_waiter _waiter;
    mode_settings* _settings;
    dispatcher* _dispatcher = nullptr;
    std::mutex _gate_lock;
    std::condition_variable _gate_changed;
    bool _held = false;
    bool _gate_open = false;
};

// A CAsynFrame started in the mode of the test's parameter, with a listener
// that recorded its start. Every component object is gone after the test.
class FrameTest : public ::testing::TestWithParam<engine_mode> {
protected:
    void SetUp() override {
        ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
        _object = new CAsynFrame();
        host = std::make_unique<frame_host>(static_cast<IAsynFrame3*>(_object), static_cast<IAsynFramePlugin*>(_object),
                                            GetParam());
        sink = new recorder;
        ASSERT_EQ(frame()->Advise(sink), S_OK);
        ASSERT_EQ(host->start(), S_OK);
        // The frame chose its engine from the settings, not from the environment.
        ASSERT_EQ(object()->services()->asyn_io_manager_ptr->use_completion_port(), !is_alertable(GetParam()));
        ASSERT_TRUE(host->run_until([&] { return sink->count("start") == 1; }));
    }

    void TearDown() override {
        if (_object == nullptr) return;
        if (_object->running()) {
            EXPECT_EQ(host->stop(), S_OK);
        }
        frame()->Unadvise(sink);
        sink->Release();
        _object->Release();
        // A stop begun on the engine thread finishes on a thread of its own,
        // which lets go of the frame last.
        EXPECT_TRUE(wait_until([] { return live_component_objects() == 0; }, short_pause, std::chrono::seconds(5)))
            << live_component_objects() << " component objects left";
    }

    IAsynFrame3* frame() { return static_cast<IAsynFrame3*>(_object); }
    CAsynFrame* object() { return _object; }

    // A new operation owned by `owner`, created on the dispatch thread.
    IAsynIoOperation* make_operation(IAsynIoOperationEvents* owner) {
        IAsynIoOperation* operation = nullptr;
        host->on_dispatch([&] { EXPECT_EQ(frame()->CreateOperation(owner, &operation), S_OK); });
        return operation;
    }

    std::unique_ptr<frame_host> host;
    recorder* sink = nullptr;

private:
    CAsynFrame* _object = nullptr;
};

}  // namespace asynframe::harness

// Host-side pieces for driving a frame in tests: a recording sink for every
// callback interface, and a harness that runs a frame in port or UI-thread
// mode and can run code on its dispatch thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asynframe/asynframe.h"

namespace asynframe::testing_frame {

enum class dispatch_mode { port, ui_thread };

inline const char* mode_name(dispatch_mode mode) { return mode == dispatch_mode::port ? "Port" : "UiThread"; }

// Counts its own references and records every callback it gets.
class recorder final : public IAsynFrameEvents,
                       public IAsynTimerEvents,
                       public IAsynMessageEvents,
                       public IAsynIoOperationEvents {
public:
    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IAsynFrameEvents) {
            *object = static_cast<IAsynFrameEvents*>(this);
        } else if (iid == IID_IAsynTimerEvents) {
            *object = static_cast<IAsynTimerEvents*>(this);
        } else if (iid == IID_IAsynMessageEvents) {
            *object = static_cast<IAsynMessageEvents*>(this);
        } else if (iid == IID_IAsynIoOperationEvents) {
            *object = static_cast<IAsynIoOperationEvents*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG ASYNFRAME_STDCALL AddRef() override { return ++_refs; }
    ULONG ASYNFRAME_STDCALL Release() override {
        const ULONG left = --_refs;
        if (left == 0) delete this;
        return left;
    }

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
    ULONG references() const { return _refs.load(); }

    std::function<void(DWORD)> on_timer;
    std::function<void(DWORD, DWORD, DWORD)> on_message;
    std::function<void(IAsynIoOperation*)> on_complete;
    std::thread::id start_thread;

private:
    ~recorder() = default;
    void record(std::string line) {
        std::lock_guard<std::mutex> guard(_lock);
        _log.push_back(std::move(line));
    }

    mutable std::mutex _lock;
    std::vector<std::string> _log;
    std::atomic<ULONG> _refs{1};
};

// Runs closures on the dispatch thread through synchronous frame messages.
class dispatcher final : public IAsynMessageEvents {
public:
    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG ASYNFRAME_STDCALL AddRef() override { return ++_refs; }
    ULONG ASYNFRAME_STDCALL Release() override {
        const ULONG left = --_refs;
        if (left == 0) delete this;
        return left;
    }
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
    ~dispatcher() = default;
    std::mutex _lock;
    std::vector<std::function<void()>> _work;
    std::atomic<ULONG> _refs{1};
};

using pump_function = int (*)(unsigned int);

// A running frame: the host's view of it plus helpers to wait and to run code
// on its dispatch thread. The frame object is created by the caller.
class frame_host {
public:
    frame_host(IAsynFrame3* frame, IAsynFramePlugin* plugin, dispatch_mode mode, pump_function pump)
        : frame(frame), plugin(plugin), mode(mode), _pump(pump) {}

    bool ui() const { return mode == dispatch_mode::ui_thread; }

    HRESULT start() {
        const HRESULT hr = plugin->Initialize(ui() ? 1 : 0, nullptr, nullptr, 0);
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

    // Pumps (UI-thread mode) or waits until `done` holds; false after the time-out.
    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (ui())
                _pump(5);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Delivers what is due without waiting (UI-thread mode only).
    void pump_once() {
        if (ui()) _pump(0);
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
    dispatch_mode mode;

private:
    pump_function _pump;
    dispatcher* _dispatcher = nullptr;
    std::mutex _gate_lock;
    std::condition_variable _gate_changed;
    bool _held = false;
    bool _gate_open = false;
};

}  // namespace asynframe::testing_frame

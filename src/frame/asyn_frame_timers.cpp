// Frame timers on the engine's timer service.
#include "frame/asyn_frame.h"

#include <new>

#include "engine/asyn_io_manager.h"

namespace asynframe {

// ---- CAsynFrameTimer -------------------------------------------------------------

CAsynFrameTimer::CAsynFrameTimer(CAsynFrame* frame, IAsynTimerEvents* sink, DWORD id, bool repeat)
    : with_singleton(frame->services()), _frame(frame), _sink(sink), _id(id), _repeat(repeat ? 1u : 0u) {
    _sink->AddRef();
}

CAsynFrameTimer::~CAsynFrameTimer() { _sink->Release(); }

void CAsynFrameTimer::on_timeout(std::uint32_t param) {
    IAsynTimerEvents* sink = _sink;
    sink->AddRef();
    if (_repeat == 0) {
        // A one-shot timer is gone before its callback, which may set it again.
        _frame->KillTimer(sink, _id);
        // `this` no longer exists here.
    }
    sink->OnTimer(param);
    sink->Release();
}

// ---- timers ----------------------------------------------------------------------------

HRESULT CAsynFrame::SetTimer(IAsynTimerEvents* sink, DWORD id, DWORD milliseconds, BOOL repeat) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    if (sink == nullptr || (milliseconds == 0 && repeat != 0) || milliseconds >= frame_limits::MAX_TIMER_MILLISECOND)
        return E_INVALIDARG;
    const timer_key key{reinterpret_cast<std::uintptr_t>(sink), id};
    if (_timers.count(key) != 0) return E_UNEXPECTED;
    CAsynFrameTimer* timer = new (std::nothrow) CAsynFrameTimer(this, sink, id, repeat != 0);
    if (timer == nullptr) return E_OUTOFMEMORY;
    std::map<timer_key, CAsynFrameTimer*>::iterator position;
    try {
        position = _timers.emplace(key, timer).first;
    } catch (const std::bad_alloc&) {
        delete timer;
        return E_OUTOFMEMORY;
    }
    bool armed = false;
    try {
        armed = _services.asyn_io_manager_ptr->set_timer(timer, milliseconds, id, repeat != 0);
    } catch (...) {
    }
    if (!armed) {
        _timers.erase(position);
        delete timer;
        return E_FAIL;
    }
    return S_OK;
}

void CAsynFrame::destroy_timer(std::map<timer_key, CAsynFrameTimer*>::iterator position) {
    CAsynFrameTimer* timer = position->second;
    _timers.erase(position);
    _services.asyn_io_manager_ptr->kill_timers(timer);
    delete timer;
}

HRESULT CAsynFrame::KillTimer(IAsynTimerEvents* sink, DWORD id) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    const auto position = _timers.find(timer_key{reinterpret_cast<std::uintptr_t>(sink), id});
    if (position == _timers.end()) return E_UNEXPECTED;
    destroy_timer(position);
    return S_OK;
}

HRESULT CAsynFrame::KillTimers(IAsynTimerEvents* sink) {
    if (const HRESULT hr = guard(); hr != S_OK) return hr;
    const std::uintptr_t owner = reinterpret_cast<std::uintptr_t>(sink);
    auto position = _timers.lower_bound(timer_key{owner, 0});
    while (position != _timers.end() && position->first.first == owner) {
        auto next = std::next(position);
        destroy_timer(position);
        position = next;
    }
    return S_OK;
}

}  // namespace asynframe

// A list of component listeners of one callback interface, shared by every
// object that raises events to host sinks.
#pragma once

#include <atomic>
#include <vector>

#include "asynframe/com.h"
#include "platform/mutex.h"

namespace asynframe {

// Listeners of one callback interface. Callbacks run outside the lock on a
// snapshot that holds its own references, so a listener may advise or unadvise
// from inside its callback (the change counts from the next raise).
template <class Sink>
class CEventsRaiser {
public:
    CEventsRaiser() = default;
    ~CEventsRaiser() {
        for (Sink* sink : _sinks) sink->Release();
    }
    CEventsRaiser(const CEventsRaiser&) = delete;
    CEventsRaiser& operator=(const CEventsRaiser&) = delete;

    HRESULT advise(Sink* sink) {
        if (sink == nullptr) return E_INVALIDARG;
        mutex::scoped_lock guard(_lock);
        for (Sink* present : _sinks)
            if (present == sink) return E_UNEXPECTED;
        _sinks.push_back(sink);
        sink->AddRef();
        return S_OK;
    }

    HRESULT unadvise(Sink* sink) {
        Sink* removed = nullptr;
        {
            mutex::scoped_lock guard(_lock);
            for (auto it = _sinks.begin(); it != _sinks.end(); ++it) {
                if (*it == sink) {
                    removed = *it;
                    _sinks.erase(it);
                    break;
                }
            }
        }
        if (removed == nullptr) return E_UNEXPECTED;
        removed->Release();
        return S_OK;
    }

    template <class Call>
    void raise(Call&& call) {
        std::vector<Sink*> snapshot;
        {
            mutex::scoped_lock guard(_lock);
            snapshot = _sinks;
            for (Sink* sink : snapshot) sink->AddRef();
        }
        _raising.fetch_add(1, std::memory_order_acq_rel);
        for (Sink* sink : snapshot) call(sink);
        _raising.fetch_sub(1, std::memory_order_acq_rel);
        for (Sink* sink : snapshot) sink->Release();
    }

private:
    mutex _lock;
    std::vector<Sink*> _sinks;
    std::atomic<long> _raising{0};
};

}  // namespace asynframe

#include "speed/speed_limit.h"

#include <algorithm>
#include <utility>

#include "platform/tick.h"

namespace asynframe {

CSpeedLimit::CSpeedLimit()
    : CUnknownMultiThread("CSpeedLimit"), _quota_slot(platform::tick_count() / quota_milliseconds - 1) {}

CSpeedLimit::~CSpeedLimit() {
    if (_parent != nullptr) _parent->Release();
}

HRESULT CSpeedLimit::SetLimit(DWORD bytes_per_second) {
    mutex::scoped_lock guard(_lock);
    _limit = bytes_per_second;
    return S_OK;
}

HRESULT CSpeedLimit::GetLimit(DWORD* bytes_per_second) {
    if (bytes_per_second == nullptr) return E_POINTER;
    mutex::scoped_lock guard(_lock);
    *bytes_per_second = _limit;
    return S_OK;
}

ISpeedLimit* CSpeedLimit::parent() {
    mutex::scoped_lock guard(_lock);
    if (_parent != nullptr) _parent->AddRef();
    return _parent;
}

void CSpeedLimit::refresh_quota() {
    const std::uint32_t slot = platform::tick_count() / quota_milliseconds;
    if (slot == _quota_slot) return;
    _quota_slot = slot;
    // Measured over the quarters that are over: the one just begun holds next
    // to nothing yet and, counted in, would make every quota too big (the
    // limit ran 5% over for good, and more in its first seconds).
    const std::uint64_t speed = _calculator.completed_speed();
    const std::uint64_t spare = speed < _limit ? _limit - speed : 0;
    // A link that ran slow may catch up to twice its limit for a while.
    _quota = static_cast<std::uint32_t>((static_cast<std::uint64_t>(_limit) + spare) >> 2);
}

HRESULT CSpeedLimit::Request(DWORD wanted, DWORD* granted, DWORD* wait_milliseconds) {
    if (granted == nullptr || wait_milliseconds == nullptr) return E_POINTER;
    DWORD allowed = wanted;
    {
        // The parent is asked for no more than this limiter could give: what
        // it granted beyond would be taken from its quota and never used.
        mutex::scoped_lock guard(_lock);
        if (_limit != SPEED_UNLIMITED) {
            refresh_quota();
            allowed = std::min<DWORD>(wanted, _quota);
            if (allowed == 0) {
                *granted = 0;
                *wait_milliseconds = refused_wait;
                return S_OK;
            }
        }
    }
    // The parent first, outside this limiter's lock.
    if (ISpeedLimit* above = parent()) {
        DWORD parent_granted = 0;
        DWORD parent_wait = 0;
        const HRESULT hr = above->Request(allowed, &parent_granted, &parent_wait);
        above->Release();
        if (parent_granted == 0) {
            *granted = 0;
            *wait_milliseconds = parent_wait;
            return hr;
        }
        allowed = std::min(allowed, parent_granted);
    }
    mutex::scoped_lock guard(_lock);
    *wait_milliseconds = 0;
    if (_limit == SPEED_UNLIMITED) {
        *granted = allowed;
        return S_OK;
    }
    refresh_quota();
    const DWORD given = std::min({allowed, static_cast<DWORD>(_quota), wanted});
    _quota -= given;
    *granted = given;
    if (given == 0) *wait_milliseconds = refused_wait;
    return S_OK;
}

HRESULT CSpeedLimit::Report(DWORD bytes) {
    {
        mutex::scoped_lock guard(_lock);
        _calculator.add(bytes);
    }
    if (ISpeedLimit* above = parent()) {
        above->Report(bytes);
        above->Release();
    }
    return S_OK;
}

HRESULT CSpeedLimit::GetSpeed(DWORD* bytes_per_second) {
    if (bytes_per_second == nullptr) return E_POINTER;
    mutex::scoped_lock guard(_lock);
    *bytes_per_second = static_cast<DWORD>(_calculator.speed());
    return S_OK;
}

HRESULT CSpeedLimit::SetParent(ISpeedLimit* new_parent) {
    // Walk up from the new parent: meeting this limiter (or no end) is a loop.
    ISpeedLimit* walker = new_parent;
    if (walker != nullptr) walker->AddRef();
    for (int depth = 0; walker != nullptr; ++depth) {
        if (walker == static_cast<ISpeedLimit*>(this) || depth >= max_chain) {
            walker->Release();
            return E_INVALIDARG;
        }
        ISpeedLimit* next = nullptr;
        if (FAILED(walker->GetParent(&next))) next = nullptr;
        walker->Release();
        walker = next;
    }
    if (new_parent != nullptr) new_parent->AddRef();
    ISpeedLimit* old = nullptr;
    {
        mutex::scoped_lock guard(_lock);
        old = std::exchange(_parent, new_parent);
    }
    if (old != nullptr) old->Release();
    return S_OK;
}

HRESULT CSpeedLimit::GetParent(ISpeedLimit** out) {
    if (out == nullptr) return E_POINTER;
    ISpeedLimit* above = parent();
    *out = nullptr;
    if (above == nullptr) return E_NOINTERFACE;
    const HRESULT hr = above->QueryInterface(IID_ISpeedLimit, reinterpret_cast<void**>(out));
    above->Release();
    return hr;
}

}  // namespace asynframe

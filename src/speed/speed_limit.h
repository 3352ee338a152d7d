// The rate limiter: quotas per quarter second, so that the traffic reported
// to it stays near its limit; a parent must grant too and sees all the
// traffic of its children.
#pragma once

#include "asynframe/speed.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "platform/mutex.h"
#include "speed/speed_calculator.h"

namespace asynframe {

class CSpeedLimit final : public com_interfaces<CSpeedLimit, ISpeedLimit>, public CUnknownMultiThread {
public:
    // The length of one quota, and the wait a refused request is told.
    static constexpr std::uint32_t quota_milliseconds = 250;
    static constexpr std::uint32_t refused_wait = 125;
    // A longer parent chain than this is taken for a loop.
    static constexpr int max_chain = 64;

    CSpeedLimit();

    using interfaces = single_interface<IID_ISpeedLimit, ISpeedLimit>;

    HRESULT ASYNFRAME_STDCALL SetLimit(DWORD bytes_per_second) override;
    HRESULT ASYNFRAME_STDCALL GetLimit(DWORD* bytes_per_second) override;
    HRESULT ASYNFRAME_STDCALL Request(DWORD wanted, DWORD* granted, DWORD* wait_milliseconds) override;
    HRESULT ASYNFRAME_STDCALL Report(DWORD bytes) override;
    HRESULT ASYNFRAME_STDCALL GetSpeed(DWORD* bytes_per_second) override;
    // E_INVALIDARG for a parent that has this limiter above it: the chain
    // would never end.
    HRESULT ASYNFRAME_STDCALL SetParent(ISpeedLimit* parent) override;
    HRESULT ASYNFRAME_STDCALL GetParent(ISpeedLimit** parent) override;

private:
    ~CSpeedLimit() override;
    // The parent with a reference of the caller's, or null.
    ISpeedLimit* parent();
    // With the lock held: a new quarter's quota once the quarter changed.
    void refresh_quota();

    mutex _lock;
    ISpeedLimit* _parent = nullptr;
    speed_calculator _calculator{10, quota_milliseconds};
    DWORD _limit = SPEED_UNLIMITED;
    std::uint32_t _quota_slot;
    std::uint32_t _quota = 0;
};

}  // namespace asynframe

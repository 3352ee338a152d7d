// Rate limiters. A limiter hands out byte quotas per quarter second so that
// the traffic reported to it stays near its limit; limiters chain through a
// parent that must grant too and sees all traffic of its children. Any thread
// may use a limiter.
#pragma once

#include "asynframe/com.h"

namespace asynframe {

// {6A420A5D-1198-44FC-ACFF-7BEC934FE7D5}
inline constexpr IID IID_ISpeedLimit = {
    0x6A420A5D, 0x1198, 0x44FC, {0xAC, 0xFF, 0x7B, 0xEC, 0x93, 0x4F, 0xE7, 0xD5}};

// Limit value meaning "no limit" (the initial one).
inline constexpr DWORD SPEED_UNLIMITED = 0xFFFFFFFFu;

struct ISpeedLimit : IUnknown {
    // Bytes per second (SPEED_UNLIMITED: none). S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetLimit(DWORD bytes_per_second) = 0;  // slot 3
    // The limit. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetLimit(DWORD* bytes_per_second) = 0;  // slot 4
    // Asks to move `wanted` bytes: `granted` is what may move now; when it is
    // 0, ask again after `wait_milliseconds`. The parent is asked first and a
    // refusal of the parent's is passed on. Granted bytes are not counted:
    // Report what actually moved. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL Request(DWORD wanted, DWORD* granted, DWORD* wait_milliseconds) = 0;  // slot 5
    // Counts bytes moved, here and in the parent. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL Report(DWORD bytes) = 0;  // slot 6
    // Bytes per second over the last 2.5 seconds. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetSpeed(DWORD* bytes_per_second) = 0;  // slot 7
    // Replaces the parent (a reference is kept); null removes it. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetParent(ISpeedLimit* parent) = 0;  // slot 8
    // The parent with a new reference. E_NOINTERFACE when there is none.
    virtual HRESULT ASYNFRAME_STDCALL GetParent(ISpeedLimit** parent) = 0;  // slot 9

protected:
    ~ISpeedLimit() = default;
};

}  // namespace asynframe

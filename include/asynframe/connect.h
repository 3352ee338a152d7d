// The connection scheduler's observer face. Every outgoing TCP connect of a
// frame passes through its scheduler; a host reaches it through the host
// service registered under IID_IConnectManager, or by the frame's plug-in.
#pragma once

#include "asynframe/com.h"
#include "asynframe/operation.h"
#include "asynframe/strings.h"

namespace asynframe {

// {5E402C46-EA63-4DCB-85DB-D658A316BDD0}
inline constexpr IID IID_IConnectManager = {
    0x5E402C46, 0xEA63, 0x4DCB, {0x85, 0xDB, 0xD6, 0x58, 0xA3, 0x16, 0xBD, 0xD0}};
// {F3E09A85-E575-452D-9621-231D3AFAFB9A}; the library never queries a host
// object for it.
inline constexpr IID IID_IConnectManagerEvents = {
    0xF3E09A85, 0xE575, 0x452D, {0x96, 0x21, 0x23, 0x1D, 0x3A, 0xFA, 0xFB, 0x9A}};

// Observer of each connect's steps, called on the dispatch thread, only for
// connects issued on the frame's own operation objects. Texts are counted
// byte strings valid only during the call. Results are ignored.
struct IConnectManagerEvents : IUnknown {
    // A connect to `host`:`port` was queued with the caller's `priority`.
    virtual HRESULT ASYNFRAME_STDCALL OnConnectRequest(IAsynIoOperation* operation, DWORD host_length,
                                                       const char* host, WORD port, LONG priority) = 0;  // slot 3
    // The host name was resolved: `result` is the resolver's code (0 success,
    // see dns.h) and `addresses` the dotted IPv4 texts, then the IPv6 ones
    // when the name has any, not copied.
    virtual HRESULT ASYNFRAME_STDCALL OnResolved(IAsynIoOperation* operation, LONG result,
                                                 tagSTRING_ARRAY addresses) = 0;  // slot 4
    // One attempt on `address` finished with Winsock code `result` (0: connected).
    // A name with both families races its addresses: the attempts that lose to
    // the one that connected are closed and reported with 995.
    virtual HRESULT ASYNFRAME_STDCALL OnConnectAttempt(IAsynIoOperation* operation, DWORD result,
                                                       DWORD address_length, const char* address) = 0;  // slot 5
    // The connect is over with its final Winsock code `result`.
    virtual HRESULT ASYNFRAME_STDCALL OnConnectComplete(IAsynIoOperation* operation, DWORD result) = 0;  // slot 6

protected:
    ~IConnectManagerEvents() = default;
};

// {9B1D6F0E-3C2A-4E57-A8D4-61F2C07B5E93}; Advise asks each sink for it.
inline constexpr IID IID_IConnectManagerEvents2 = {
    0x9B1D6F0E, 0x3C2A, 0x4E57, {0xA8, 0xD4, 0x61, 0xF2, 0xC0, 0x7B, 0x5E, 0x93}};

// An observer that also hears when each attempt starts, so the pacing of
// attempts that overlap (a name with both families) can be seen.
struct IConnectManagerEvents2 : IConnectManagerEvents {
    // An attempt on `address` starts; OnConnectAttempt reports its end.
    virtual HRESULT ASYNFRAME_STDCALL OnConnectAttemptStart(IAsynIoOperation* operation, DWORD address_length,
                                                            const char* address) = 0;  // slot 7

protected:
    ~IConnectManagerEvents2() = default;
};

// Any thread may call these.
struct IConnectManager : IUnknown {
    // Adds an observer (a reference is taken). E_UNEXPECTED when already added.
    virtual HRESULT ASYNFRAME_STDCALL Advise(IConnectManagerEvents* sink) = 0;  // slot 3
    // Removes an observer and releases it. E_UNEXPECTED when absent.
    virtual HRESULT ASYNFRAME_STDCALL Unadvise(IConnectManagerEvents* sink) = 0;  // slot 4

protected:
    ~IConnectManager() = default;
};

}  // namespace asynframe

// Callbacks a host implements to hear from a frame: start and stop of the
// frame's dispatch, timer expiries and frame messages. Every call arrives on
// the frame's dispatch thread; the frame ignores the results.
//
// The library never queries a host object for these identifiers; they exist
// so that a host's QueryInterface can answer them.
#pragma once

#include "asynframe/com.h"

namespace asynframe {

// {6DD19055-C6AC-4C36-B9C0-7FFC8A57FDA1}
inline constexpr IID IID_IAsynFrameEvents = {
    0x6DD19055, 0xC6AC, 0x4C36, {0xB9, 0xC0, 0x7F, 0xFC, 0x8A, 0x57, 0xFD, 0xA1}};
// {1F8AE2EA-C71F-4ED2-9E5B-13AA72CE2359}
inline constexpr IID IID_IAsynTimerEvents = {
    0x1F8AE2EA, 0xC71F, 0x4ED2, {0x9E, 0x5B, 0x13, 0xAA, 0x72, 0xCE, 0x23, 0x59}};
// {0BB747FE-AD49-4ABD-A548-9B5E13FFA0D8}
inline constexpr IID IID_IAsynMessageEvents = {
    0x0BB747FE, 0xAD49, 0x4ABD, {0xA5, 0x48, 0x9B, 0x5E, 0x13, 0xFF, 0xA0, 0xD8}};

// Start/stop listener registered with IAsynFrame::Advise.
struct IAsynFrameEvents : IUnknown {
    // The frame's dispatch thread has begun (in UI-thread mode: raised inside
    // Initialize, on the initialising thread).
    virtual HRESULT ASYNFRAME_STDCALL OnFrameStart() = 0;  // slot 3
    // The dispatch thread is about to end (raised inside Uninitialize).
    virtual HRESULT ASYNFRAME_STDCALL OnFrameStop() = 0;  // slot 4

protected:
    ~IAsynFrameEvents() = default;
};

// Sink of timers set with IAsynFrame::SetTimer.
struct IAsynTimerEvents : IUnknown {
    // Timer `id` expired. A one-shot timer is already gone when this runs, so
    // the sink may set it again under the same id.
    virtual HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) = 0;  // slot 3

protected:
    ~IAsynTimerEvents() = default;
};

// Receiver of frame messages (IAsynFrame::RegisterReceiver).
struct IAsynMessageEvents : IUnknown {
    // A posted or sent message is delivered with its three values.
    virtual HRESULT ASYNFRAME_STDCALL OnMessage(DWORD value1, DWORD value2, DWORD value3) = 0;  // slot 3
    // A pending message was cancelled (CancelFrameMessages, UnregisterReceiver);
    // called while the frame holds its message lock, so keep it short.
    virtual HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD value1, DWORD value2, DWORD value3) = 0;  // slot 4

protected:
    ~IAsynMessageEvents() = default;
};

}  // namespace asynframe

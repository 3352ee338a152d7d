// UI-thread dispatch for hosts.
//
// A frame initialised to run in the UI thread delivers every callback (operation
// completions, timers, frame messages) on the thread that initialised it, and
// only while that thread pumps the thread's frame queue. The queue is created
// with the first frame that thread starts in UI-thread mode and goes away with
// its last one. The host pumps in one of two ways, always on that thread:
//
//  * from its own event loop: watch asynframe_ui_thread_descriptor() for
//    readability (poll, epoll, a GLib/Qt socket notifier, ...) and call
//    asynframe_ui_thread_pump() each time it is readable (Linux only); or
//  * from a plain loop: call asynframe_ui_thread_wait(timeout) repeatedly.
//
// On Windows the queue is the thread's own message queue and the frame's
// targets are hidden message-only windows: a host with an ordinary message
// loop (GetMessage/DispatchMessage, with an alertable wait such as
// MsgWaitForMultipleObjectsEx(..., MWMO_ALERTABLE) for the alertable mode's
// completion routines) needs nothing else. The DLL does not export the
// functions below there; they exist only in the library's Linux builds and in
// programs linked with its static library, where they dispatch every message
// waiting on the thread, the host's as well, and the descriptor is always -1.
//
// Callbacks run inside the pump call. A callback that pumps again gets 0 and
// delivers nothing (delivery stays in order). Timers are due-time driven, so a
// late pump delivers each due timer once, not once per elapsed period; no
// timer fires more often than every 10 ms.
//
// Each pump also runs one bounded turn of the frame's engine (its completions,
// its posted work); the descriptor covers the engine's own, so a completion
// wakes the host. There is no engine thread in this mode. A frame stopped from
// another thread leaves the queue to this thread, which frees it at its next
// pump (that call then answers -1) or when the thread ends.
#pragma once

#include "asynframe/com.h"

#ifdef __cplusplus
extern "C" {
#endif

// The calling thread's frame-queue descriptor: readable while messages wait or
// a timer is due. -1 when the thread has no frame queue, and always on Windows.
// Do not read or close it.
ASYNFRAME_EXPORT int asynframe_ui_thread_descriptor(void);

// Delivers the messages waiting now and the timers that are due, without
// blocking. Returns how many were delivered, or -1 when the thread has no queue.
ASYNFRAME_EXPORT int asynframe_ui_thread_pump(void);

// Waits up to `timeout_ms` milliseconds (0xFFFFFFFF: no limit) for something to
// deliver, then pumps. Returns as asynframe_ui_thread_pump().
ASYNFRAME_EXPORT int asynframe_ui_thread_wait(unsigned int timeout_ms);

#ifdef __cplusplus
}
#endif

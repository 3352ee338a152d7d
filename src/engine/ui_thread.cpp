// The host's side of UI-thread dispatch: the calling thread's frame queue.
#include "asynframe/ui_thread.h"

#include "platform/ui_window.h"

extern "C" {

ASYNFRAME_EXPORT int asynframe_ui_thread_descriptor(void) {
    // A descriptor on Linux (an int); on Windows there is none to give (-1).
    return static_cast<int>(asynframe::platform::ui_queue_descriptor());
}

ASYNFRAME_EXPORT int asynframe_ui_thread_pump(void) { return asynframe::platform::ui_queue_pump(); }

ASYNFRAME_EXPORT int asynframe_ui_thread_wait(unsigned int timeout_ms) {
    return asynframe::platform::ui_queue_wait_and_pump(timeout_ms);
}

}  // extern "C"

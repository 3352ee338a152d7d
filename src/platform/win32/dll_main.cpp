// The DLL's entry point. It runs under the loader lock, so it only records
// the module handle: threads, windows and sockets are made on first use.
#include <windows.h>

#include "platform/win32/text.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        asynframe::platform::win32::record_module(instance);
        // Nothing here wants per-thread calls. (The loader ignores this for a
        // module with static TLS, whose callbacks keep running.)
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

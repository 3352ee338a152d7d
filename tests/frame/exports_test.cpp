// The shared library shows hosts its entry points and nothing else: internal
// symbols leaking out would clash with a host's own copies of the same code.
#include <gtest/gtest.h>

#include "common/shared_library.h"

namespace {

using namespace asynframe::harness;

TEST(SharedLibraryExports, OnlyEntryPointsAreVisible) {
    const library_handle library = load_library(ASYNFRAME_SHARED_LIBRARY);
    ASSERT_NE(library, nullptr) << load_error();
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                             "sync_dns_request", "sync_dns_result", "sync_dns_count", "sync_dns_address",
                             "sync_dns_cancel", "sync_dns_address_text"})
        EXPECT_NE(find_symbol(library, name), nullptr) << name;
    // The UI-thread pump is for Linux hosts; on Windows the host's message
    // loop serves the frame's hidden windows, and the DLL exports nothing else.
    for (const char* name : {"asynframe_ui_thread_pump", "asynframe_ui_thread_wait", "asynframe_ui_thread_descriptor"}) {
#if defined(_WIN32)
        EXPECT_EQ(find_symbol(library, name), nullptr) << name;
#else
        EXPECT_NE(find_symbol(library, name), nullptr) << name;
#endif
    }
    // asynframe::platform::tick_count() and a standard-library instantiation.
    EXPECT_EQ(find_symbol(library, "_ZN9asynframe8platform10tick_countEv"), nullptr);
    EXPECT_EQ(find_symbol(library, "_ZSt19piecewise_construct"), nullptr);
    unload_library(library);
}

}  // namespace

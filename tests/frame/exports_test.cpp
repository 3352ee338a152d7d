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
                             "asynframe_ui_thread_pump", "asynframe_ui_thread_wait", "asynframe_ui_thread_descriptor"})
        EXPECT_NE(find_symbol(library, name), nullptr) << name;
    // asynframe::platform::tick_count() and a standard-library instantiation.
    EXPECT_EQ(find_symbol(library, "_ZN9asynframe8platform10tick_countEv"), nullptr);
    EXPECT_EQ(find_symbol(library, "_ZSt19piecewise_construct"), nullptr);
    unload_library(library);
}

}  // namespace

// The shared library shows hosts its entry points and nothing else: internal
// symbols leaking out would clash with a host's own copies of the same code.
#include <dlfcn.h>

#include <gtest/gtest.h>

namespace {

TEST(SharedLibraryExports, OnlyEntryPointsAreVisible) {
    void* library = ::dlopen(ASYNFRAME_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                             "asynframe_ui_thread_pump", "asynframe_ui_thread_descriptor", "sync_dns_request",
                             "sync_dns_result", "sync_dns_count", "sync_dns_address", "sync_dns_cancel",
                             "sync_dns_address_text"})
        EXPECT_NE(::dlsym(library, name), nullptr) << name;
    // asynframe::platform::tick_count() and a standard-library instantiation.
    EXPECT_EQ(::dlsym(library, "_ZN9asynframe8platform10tick_countEv"), nullptr);
    EXPECT_EQ(::dlsym(library, "_ZSt19piecewise_construct"), nullptr);
    ::dlclose(library);
}

}  // namespace

// The module as a host sees it: loaded with dlopen (LoadLibrary), reached only
// through its exported entry points and the public interfaces.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "asynframe/asynframe.h"
#include "common/frame_fixture.h"
#include "common/shared_library.h"
#include "support/scratch_folder.h"

namespace asynframe {
namespace {

using harness::engine_mode;
using harness::frame_host;
using harness::recorder;

struct module_entry {
    decltype(&DllGetClassObject) get_class_object = nullptr;
    decltype(&DllCanUnloadNow) can_unload_now = nullptr;
    decltype(&DllRegisterServer) register_server = nullptr;
    decltype(&DllUnregisterServer) unregister_server = nullptr;
    harness::pump_function ui_wait = nullptr;
    std::string error;
};

// Loaded once and kept for the whole run, as a host keeps its plug-ins.
const module_entry& library() {
    static const module_entry entry = [] {
        module_entry loaded;
        const harness::library_handle handle = harness::load_library(ASYNFRAME_SHARED_LIBRARY);
        if (handle == nullptr) {
            loaded.error = harness::load_error();
            return loaded;
        }
        auto entry_point = [&](const char* name) { return harness::find_symbol(handle, name); };
        loaded.get_class_object = reinterpret_cast<decltype(&DllGetClassObject)>(entry_point("DllGetClassObject"));
        loaded.can_unload_now = reinterpret_cast<decltype(&DllCanUnloadNow)>(entry_point("DllCanUnloadNow"));
        loaded.register_server = reinterpret_cast<decltype(&DllRegisterServer)>(entry_point("DllRegisterServer"));
        loaded.unregister_server =
            reinterpret_cast<decltype(&DllUnregisterServer)>(entry_point("DllUnregisterServer"));
#if defined(_WIN32)
        // The DLL's hidden windows are served by the host's own message loop.
        loaded.ui_wait = &harness::host_message_loop_wait;
#else
        loaded.ui_wait = reinterpret_cast<harness::pump_function>(entry_point("asynframe_ui_thread_wait"));
#endif
        return loaded;
    }();
    return entry;
}

IClassFactory* class_object(REFCLSID clsid) {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(library().get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(library().get_class_object, nullptr) << library().error;
        ASSERT_NE(library().can_unload_now, nullptr);
        ASSERT_NE(library().ui_wait, nullptr);
    }
};

TEST_F(ModuleTest, ClassObjectsAndUnloading) {
    EXPECT_EQ(library().can_unload_now(), S_OK);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(library().get_class_object(IID_IAsynFrame, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(library().get_class_object(CLSID_AsynFramePlugin, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* factory = class_object(CLSID_AsynFramePlugin);
    ASSERT_NE(factory, nullptr);
    recorder* outer = new recorder;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(static_cast<IAsynFrameEvents*>(outer), IID_IUnknown, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    outer->Release();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDownloadLibPlugin, &out), E_NOINTERFACE);
    EXPECT_EQ(library().can_unload_now(), S_OK);  // the refused object is gone

    IAsynFrame* frame = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IAsynFrame, reinterpret_cast<void**>(&frame)), S_OK);
    EXPECT_EQ(library().can_unload_now(), S_FALSE);
    IAsynFramePlugin* plugin = nullptr;
    IAsynFrame2* frame2 = nullptr;
    ASSERT_EQ(frame->QueryInterface(IID_IAsynFramePlugin, reinterpret_cast<void**>(&plugin)), S_OK);
    ASSERT_EQ(frame->QueryInterface(IID_IAsynFrame2, reinterpret_cast<void**>(&frame2)), S_OK);
    EXPECT_EQ(static_cast<IAsynFrame*>(frame2), frame);
    frame2->Release();
    plugin->Release();
    EXPECT_EQ(frame->Release(), 0u);
    EXPECT_EQ(library().can_unload_now(), S_OK);

    EXPECT_EQ(factory->LockServer(1), S_OK);
    EXPECT_EQ(library().can_unload_now(), S_FALSE);
    EXPECT_EQ(factory->LockServer(0), S_OK);
    EXPECT_EQ(library().can_unload_now(), S_OK);
    factory->Release();
}

// Services of a host application: the registry and a settings provider.
class fake_host final : public com_interfaces<fake_host, IPluginHost, ISettingsProvider> {
public:
    using interfaces = no_interfaces;
    ULONG internal_add_ref() noexcept { return ++refs; }
    ULONG internal_release() noexcept { return --refs; }

    HRESULT ASYNFRAME_STDCALL GetHostVersion(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL GetHostDirectory(IStringSetter*) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL GetDataDirectory(IStringSetter*) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL IsShuttingDown() override { return S_FALSE; }
    HRESULT ASYNFRAME_STDCALL HasService(REFGUID) override { return S_FALSE; }
    HRESULT ASYNFRAME_STDCALL RegisterService(REFGUID service, IUnknown* object) override {
        object->AddRef();
        services[key(service)] = object;
        log.push_back("register " + key(service));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL RevokeService(REFGUID service) override {
        log.push_back("revoke " + key(service));
        const auto found = services.find(key(service));
        if (found != services.end()) {
            found->second->Release();
            services.erase(found);
        }
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL QueryService(REFGUID service, void** object) override {
        *object = nullptr;
        if (service == IID_ISettingsProvider) {
            *object = static_cast<ISettingsProvider*>(this);
            AddRef();
        }
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }

    HRESULT ASYNFRAME_STDCALL GetString(UINT, const char*, UINT, const char*, IStringSetter*) override {
        return E_FAIL;
    }
    HRESULT ASYNFRAME_STDCALL GetInteger(UINT, const char*, UINT, const char*, UINT*) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL SetInteger(UINT, const char*, UINT, const char*, UINT) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL GetBoolean(UINT section_length, const char* section, UINT key_length, const char* name,
                                         UINT* value) override {
        if (std::string(section, section_length) == "asyn_frame" &&
            std::string(name, key_length) == "run_in_ui_thread") {
            // Any non-zero flag asks for the UI thread, not only 1.
            *value = 0xFFFFFFFFu;
            return S_OK;
        }
        return E_FAIL;
    }
    HRESULT ASYNFRAME_STDCALL SetBoolean(UINT, const char*, UINT, const char*, UINT) override { return E_FAIL; }
    HRESULT ASYNFRAME_STDCALL SetString(UINT, const char*, UINT, const char*, UINT, const char*) override {
        return E_FAIL;
    }

    static std::string key(REFGUID id) {
        if (id == IID_IAsynFrame) return "frame";
        if (id == IID_IConnectManager) return "connect";
        return "other";
    }

    ULONG refs = 1;
    std::map<std::string, IUnknown*> services;
    std::vector<std::string> log;
};

TEST_F(ModuleTest, PluginRunsTheFrameInTheHostsUiThread) {
    IClassFactory* factory = class_object(CLSID_DownloadLibPlugin);
    IDownloadLibPlugin* plugin = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDownloadLibPlugin, reinterpret_cast<void**>(&plugin)), S_OK);
    factory->Release();
    LONG type = 7;
    EXPECT_EQ(plugin->GetPluginType(nullptr), E_FAIL);
    EXPECT_EQ(plugin->GetPluginType(&type), S_OK);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(plugin->CheckState(), S_FALSE);
    EXPECT_EQ(plugin->Initialize(nullptr), E_FAIL);
    EXPECT_EQ(plugin->Uninitialize(), E_UNEXPECTED);

    fake_host host;
    ASSERT_EQ(plugin->Initialize(&host), S_OK);
    EXPECT_EQ(host.log, (std::vector<std::string>{"register connect", "register frame"}));
    ASSERT_EQ(host.services.count("frame"), 1u);
    // The scheduler's face is published for observers.
    ASSERT_EQ(host.services.count("connect"), 1u);
    IConnectManager* scheduler = nullptr;
    EXPECT_EQ(host.services["connect"]->QueryInterface(IID_IConnectManager, reinterpret_cast<void**>(&scheduler)),
              S_OK);
    if (scheduler != nullptr) scheduler->Release();
    IAsynFrame* frame = nullptr;
    ASSERT_EQ(host.services["frame"]->QueryInterface(IID_IAsynFrame, reinterpret_cast<void**>(&frame)), S_OK);
    // The option put the frame on this thread.
    EXPECT_EQ(frame->IsFrameThread(), S_OK);
    recorder* sink = new recorder;
    ASSERT_EQ(frame->RegisterReceiver(sink), S_OK);
    ASSERT_EQ(frame->PostFrameMessage(sink, 1, 2, 3), S_OK);
    for (int i = 0; i < 1000 && sink->count("message") == 0; ++i) library().ui_wait(10);
    EXPECT_EQ(sink->count("message 1 2 3"), 1u);
    EXPECT_EQ(frame->UnregisterReceiver(sink), S_OK);
    frame->Release();

    EXPECT_EQ(plugin->Uninitialize(), S_OK);
    EXPECT_EQ(host.log, (std::vector<std::string>{"register connect", "register frame", "revoke connect", "revoke frame"}));
    EXPECT_EQ(host.refs, 1u);
    EXPECT_EQ(sink->references(), 1u);
    sink->Release();
    plugin->Release();
    EXPECT_EQ(library().can_unload_now(), S_OK);
}

#if defined(_WIN32)

// Windows keeps the classes in its own registry, per user.
std::string class_value(const std::string& clsid, const char* sub_key, const char* value) {
    std::string key = "Software\\Classes\\CLSID\\" + clsid;
    if (sub_key != nullptr) key += std::string("\\") + sub_key;
    char text[1024] = {};
    DWORD size = sizeof text;
    if (::RegGetValueA(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return "<none>";
    return text;
}

TEST_F(ModuleTest, RegistrationListsBothClasses) {
    const std::string frame_class = "{67B9FB4F-04DB-4B0A-8B3F-2B18AE41AD88}";
    const std::string plugin_class = "{B381AD25-4931-4569-9EC2-14FF003DE671}";
    EXPECT_EQ(library().unregister_server(), S_OK);  // nothing registered yet
    ASSERT_EQ(library().register_server(), S_OK);
    ASSERT_EQ(library().register_server(), S_OK);  // again: the same values
    EXPECT_EQ(class_value(frame_class, nullptr, nullptr), "CLSID_AsynFramePlugin");
    EXPECT_EQ(class_value(plugin_class, nullptr, nullptr), "CLSID_DownloadLibPlugin");
    for (const std::string& clsid : {frame_class, plugin_class}) {
        const std::string server = class_value(clsid, "InprocServer32", nullptr);
        const std::string own = ASYNFRAME_SHARED_LIBRARY;
        ASSERT_GE(server.size(), own.size()) << server;
        EXPECT_EQ(server.substr(server.size() - own.size()), own) << server;
        EXPECT_TRUE(std::filesystem::exists(server)) << server;
        EXPECT_EQ(class_value(clsid, "InprocServer32", "ThreadingModel"), "Both");
    }
    EXPECT_EQ(library().unregister_server(), S_OK);
    EXPECT_EQ(class_value(frame_class, nullptr, nullptr), "<none>");
    EXPECT_EQ(class_value(plugin_class, "InprocServer32", nullptr), "<none>");
}

#else

TEST_F(ModuleTest, RegistrationFileListsBothClasses) {
    testing_support::scratch_folder scratch;
    const std::string folder = scratch.path();
    testing_support::scoped_env data("ASYNFRAME_DATA_DIR", folder.c_str());

    EXPECT_EQ(library().unregister_server(), S_OK);  // nothing registered yet
    ASSERT_EQ(library().register_server(), S_OK);
    ASSERT_EQ(library().register_server(), S_OK);  // again: same entries, not twice
    std::string file;
    {
        const std::string base = folder + "/";
        std::ifstream probe;
        // The data folder adds its own sub-folders below the base.
        for (const char* sub : {"Tessal Network/Tessal/", ""}) {
            probe.open(base + sub + "registered_classes.ini");
            if (probe) {
                std::stringstream text;
                text << probe.rdbuf();
                file = text.str();
                break;
            }
        }
    }
    const std::string own = ASYNFRAME_SHARED_LIBRARY;
    EXPECT_NE(file.find("[{67B9FB4F-04DB-4B0A-8B3F-2B18AE41AD88}]"), std::string::npos) << file;
    EXPECT_NE(file.find("[{B381AD25-4931-4569-9EC2-14FF003DE671}]"), std::string::npos);
    EXPECT_NE(file.find("name=CLSID_AsynFramePlugin"), std::string::npos);
    EXPECT_NE(file.find(own.substr(own.find_last_of('/') + 1, 14)), std::string::npos);
    EXPECT_EQ(file.find("name=CLSID_DownloadLibPlugin"), file.rfind("name=CLSID_DownloadLibPlugin"));

    EXPECT_EQ(library().unregister_server(), S_OK);
    std::ifstream after(folder + "/Tessal Network/Tessal/registered_classes.ini");
    std::stringstream rest;
    rest << after.rdbuf();
    EXPECT_EQ(rest.str().find("CLSID_"), std::string::npos) << rest.str();
}

#endif

// A whole host session through the module, in each engine mode.
class ModuleSessionTest : public ::testing::TestWithParam<engine_mode> {};

TEST_P(ModuleSessionTest, FrameRunsThroughTheEntryPoints) {
    ASYNFRAME_SKIP_WITHOUT_RING(GetParam());
    ASSERT_NE(library().get_class_object, nullptr);
    IClassFactory* factory = class_object(CLSID_AsynFramePlugin);
    IAsynFrame3* frame = nullptr;
    IAsynFramePlugin* plugin = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IAsynFrame3, reinterpret_cast<void**>(&frame)), S_OK);
    factory->Release();
    ASSERT_EQ(frame->QueryInterface(IID_IAsynFramePlugin, reinterpret_cast<void**>(&plugin)), S_OK);
    frame_host host(frame, plugin, GetParam(), library().ui_wait);
    recorder* sink = new recorder;
    ASSERT_EQ(frame->Advise(sink), S_OK);
    EXPECT_EQ(frame->Advise(sink), E_UNEXPECTED);
    ASSERT_EQ(host.start(), S_OK);
    ASSERT_TRUE(host.run_until([&] { return sink->count("start") == 1; }));

    IAsynIoOperation* operation = nullptr;
    host.on_dispatch([&] {
        EXPECT_EQ(frame->SetTimer(sink, 1, 1, 1), S_OK);
        EXPECT_EQ(frame->CreateOperation(sink, &operation), S_OK);
    });
    ASSERT_TRUE(host.run_until([&] { return sink->count("timer 1") >= 2; }));
    host.on_dispatch([&] { EXPECT_EQ(frame->KillTimer(sink, 1), S_OK); });
    ASSERT_EQ(frame->RegisterReceiver(sink), S_OK);
    std::thread([&] {
        EXPECT_EQ(frame->PostFrameMessage(sink, 1, 0, 0), S_OK);
        operation->SetTag(0);
        operation->SetResult(0, 9);
        EXPECT_EQ(frame->PostOperation(operation), S_OK);
    }).join();
    ASSERT_TRUE(host.run_until([&] { return sink->count("complete 0 9") == 1 && sink->count("message") == 1; }));
    EXPECT_EQ(frame->UnregisterReceiver(sink), S_OK);
    operation->Release();
    EXPECT_EQ(host.stop(), S_OK);
    EXPECT_EQ(sink->count("stop"), 1u);
    EXPECT_EQ(frame->Unadvise(sink), S_OK);
    EXPECT_EQ(frame->Unadvise(sink), E_UNEXPECTED);
    EXPECT_EQ(library().can_unload_now(), S_FALSE);
    plugin->Release();
    EXPECT_EQ(frame->Release(), 0u);
    EXPECT_EQ(library().can_unload_now(), S_OK);
    EXPECT_EQ(sink->references(), 1u);
    sink->Release();
}

INSTANTIATE_TEST_SUITE_P(Modes, ModuleSessionTest, harness::all_modes(), harness::mode_label);

}  // namespace
}  // namespace asynframe

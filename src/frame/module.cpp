#include "frame/module.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string_view>

#include "frame/asyn_frame.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "platform/registration.h"
#include "support/file_util.h"
#include "support/profile.h"
#include "support/setting.h"

namespace asynframe {
namespace {

std::atomic<long> g_server_locks{0};

// Class objects live as long as the module and are not counted as objects.
template <class Object>
class class_object final : public com_interfaces<class_object<Object>, IClassFactory>, public owner_held {
public:
    using interfaces = single_interface<IID_IClassFactory, IClassFactory>;

    HRESULT ASYNFRAME_STDCALL CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        Object* created = new (std::nothrow) Object();
        if (created == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();  // the creation reference: destroys it when the query failed
        return hr;
    }

    HRESULT ASYNFRAME_STDCALL LockServer(BOOL lock) override {
        if (lock != 0)
            g_server_locks.fetch_add(1, std::memory_order_acq_rel);
        else if (g_server_locks.load(std::memory_order_acquire) > 0)
            g_server_locks.fetch_sub(1, std::memory_order_acq_rel);
        return S_OK;
    }
};

class_object<CAsynFrame> g_frame_class;
class_object<CDownloadLibPlugin> g_plugin_class;

struct registered_class {
    const CLSID* clsid;
    const char* name;
};

constexpr registered_class g_classes[] = {
    {&CLSID_DownloadLibPlugin, "CLSID_DownloadLibPlugin"},
    {&CLSID_AsynFramePlugin, "CLSID_AsynFramePlugin"},
};

std::string guid_text(const GUID& id) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(id.Data1), id.Data2,
                  id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                  id.Data4[7]);
    return text;
}

// The content without the section `name` (matched without regard to ASCII case).
std::string without_section(std::string_view content, std::string_view name) {
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            char x = a[i], y = b[i];
            if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
            if (x != y) return false;
        }
        return true;
    };
    std::string kept;
    bool skipping = false;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? content.size() : end + 1;
        std::string_view line = content.substr(start, next - start);
        std::string_view trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' ' ||
                                    trimmed.back() == '\t'))
            trimmed.remove_suffix(1);
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t')) trimmed.remove_prefix(1);
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']')
            skipping = same(trimmed.substr(1, trimmed.size() - 2), name);
        if (!skipping) kept.append(line);
        start = next;
    }
    return kept;
}

}  // namespace

long module_lock_count() noexcept {
    return live_component_objects() + g_server_locks.load(std::memory_order_acquire);
}

std::string registration_file() { return user_data_folder(true, false) + "registered_classes.ini"; }

// ---- CDownloadLibPlugin ----------------------------------------------------------------

CDownloadLibPlugin::CDownloadLibPlugin() : CUnknownMultiThread("CDownloadLibPlugin") {}

CDownloadLibPlugin::~CDownloadLibPlugin() {
    if (_frame != nullptr) std::exchange(_frame, nullptr)->Release();
}

HRESULT CDownloadLibPlugin::GetPluginType(LONG* type) {
    if (type == nullptr) return E_FAIL;
    *type = 0;
    return S_OK;
}

HRESULT CDownloadLibPlugin::Initialize(IPluginHost* host) {
    if (host == nullptr) return E_FAIL;
    ISettingsProvider* settings = nullptr;
    IStatisticsSink* statistics = nullptr;
    host->QueryService(IID_ISettingsProvider, reinterpret_cast<void**>(&settings));
    host->QueryService(IID_IStatisticsSink, reinterpret_cast<void**>(&statistics));

    CAsynFrame* frame = new (std::nothrow) CAsynFrame();
    HRESULT hr = E_OUTOFMEMORY;
    if (frame != nullptr) {
        // A second Initialize without Uninitialize drops the first frame's
        // reference; the host is expected to uninitialise first.
        if (_frame != nullptr) _frame->Release();
        _frame = frame;
        // Without a provider the option reads as false; any non-zero flag is true.
        UINT flag = 0;
        const bool ui_mode = settings != nullptr &&
                             SUCCEEDED(settings->GetBoolean(10, "asyn_frame", 16, "run_in_ui_thread", &flag)) &&
                             flag != 0;
        hr = _frame->initialize(host, ui_mode, settings, statistics);
    }
    if (settings != nullptr) settings->Release();
    if (statistics != nullptr) statistics->Release();
    return hr;
}

HRESULT CDownloadLibPlugin::Uninitialize() {
    if (_frame == nullptr) return E_UNEXPECTED;
    const HRESULT hr = _frame->Uninitialize();
    std::exchange(_frame, nullptr)->Release();
    return hr;
}

HRESULT CDownloadLibPlugin::CheckState() { return S_FALSE; }

}  // namespace asynframe

// ---- module entry points -------------------------------------------------------------------

using namespace asynframe;

extern "C" {

ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid == CLSID_AsynFramePlugin) return g_frame_class.QueryInterface(iid, object);
    if (clsid == CLSID_DownloadLibPlugin) return g_plugin_class.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllCanUnloadNow() { return module_lock_count() == 0 ? S_OK : S_FALSE; }

ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllRegisterServer() {
    if (platform::registration::system_registry()) {
        const std::string& path = platform::own_module().path;
        if (path.empty()) return E_FAIL;
        for (const registered_class& entry : g_classes)
            if (platform::registration::register_class(guid_text(*entry.clsid), entry.name, path) != 0) return E_FAIL;
        return S_OK;
    }
    // No registry of the system's own: the registration file stands in for it.
    const std::string file = registration_file();
    const std::string& path = platform::own_module().path;
    if (path.empty()) return E_FAIL;
    std::string content;
    if (platform::fs::read_file(file, content) != 0 && platform::fs::exists(file)) return E_FAIL;
    for (const registered_class& entry : g_classes) {
        const std::string section = guid_text(*entry.clsid);
        for (const auto& [key, value] : {std::pair<const char*, std::string>{"name", entry.name},
                                         std::pair<const char*, std::string>{"path", path}}) {
            std::optional<std::string> updated = profile::set_value(content, section, key, value);
            if (!updated) return E_FAIL;
            content = std::move(*updated);
        }
    }
    return platform::fs::replace_file(file, content) == 0 ? S_OK : E_FAIL;
}

ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllUnregisterServer() {
    if (platform::registration::system_registry()) {
        HRESULT result = S_OK;
        for (const registered_class& entry : g_classes)
            if (platform::registration::unregister_class(guid_text(*entry.clsid)) != 0) result = E_FAIL;
        return result;
    }
    const std::string file = registration_file();
    std::string content;
    if (platform::fs::read_file(file, content) != 0) return platform::fs::exists(file) ? E_FAIL : S_OK;
    for (const registered_class& entry : g_classes) content = without_section(content, guid_text(*entry.clsid));
    return platform::fs::replace_file(file, content) == 0 ? S_OK : E_FAIL;
}

}  // extern "C"

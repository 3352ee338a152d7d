#include <gtest/gtest.h>

#include <map>
#include <string>

#include "asynframe/com_helpers.h"
#include "support/setting.h"
#include "support/setting_keys.h"
#include "support/stat_data.h"

namespace asynframe {
namespace {

// A host's provider and sink: answers from maps, or fails every call.
class host_store final : public com_interfaces<host_store, ISettingsProvider, IStatisticsSink> {
public:
    std::map<std::string, UINT> integers;
    std::map<std::string, UINT> booleans;
    std::map<std::string, ULONGLONG> values;
    HRESULT failure = S_OK;  // a negative value fails every call
    ULONG references = 1;

    using interfaces = no_interfaces;
    ULONG internal_add_ref() noexcept { return ++references; }
    ULONG internal_release() noexcept { return --references; }

    HRESULT ASYNFRAME_STDCALL GetString(UINT, const char*, UINT, const char*, IStringSetter*) override {
        return E_NOTIMPL;
    }
    HRESULT ASYNFRAME_STDCALL GetInteger(UINT sl, const char* s, UINT kl, const char* k, UINT* v) override {
        return get(integers, sl, s, kl, k, v);
    }
    HRESULT ASYNFRAME_STDCALL SetInteger(UINT, const char*, UINT, const char*, UINT) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL GetBoolean(UINT sl, const char* s, UINT kl, const char* k, UINT* v) override {
        return get(booleans, sl, s, kl, k, v);
    }
    HRESULT ASYNFRAME_STDCALL SetBoolean(UINT, const char*, UINT, const char*, UINT) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL SetString(UINT, const char*, UINT, const char*, UINT, const char*) override {
        return E_NOTIMPL;
    }
    HRESULT ASYNFRAME_STDCALL SetValue(UINT sl, const char* s, UINT kl, const char* k, DWORD low,
                                       DWORD high) override {
        if (failure < 0) return failure;
        values[name(sl, s, kl, k)] = (ULONGLONG{high} << 32) | low;
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL GetValue(UINT sl, const char* s, UINT kl, const char* k, ULONGLONG* v) override {
        return get(values, sl, s, kl, k, v);
    }

private:
    // Counted strings: only `length` bytes belong to the text.
    static std::string name(UINT sl, const char* s, UINT kl, const char* k) {
        return std::string(s, sl) + "/" + std::string(k, kl);
    }
    template <typename Map, typename T>
    HRESULT get(const Map& map, UINT sl, const char* s, UINT kl, const char* k, T* v) {
        if (failure < 0) return failure;
        const auto found = map.find(name(sl, s, kl, k));
        if (found == map.end()) return E_FAIL;
        *v = found->second;
        return S_FALSE;  // any non-negative result counts as an answer
    }
};

TEST(Setting, WithoutProviderEveryKeyHasItsDefault) {
    const setting settings(nullptr);
    EXPECT_FALSE(settings.get(setting_keys::force_win98));
    EXPECT_EQ(settings.get(setting_keys::max_syn_count), 256u);
    EXPECT_EQ(settings.get(setting_keys::max_connection), 1000u);
    EXPECT_EQ(settings.get(setting_keys::syn_num_for_others), 2u);
    EXPECT_EQ(settings.get(setting_keys::connect_time_threshold), 200u);
    EXPECT_EQ(settings.get(setting_keys::create_pos_offset), 1u);
    EXPECT_EQ(settings.get(setting_keys::create_delay), 5u);
    EXPECT_EQ(settings.get(setting_keys::set_recv_buffer), 0u);
    EXPECT_EQ(settings.get(setting_keys::recv_buffer_size), 8192u);
    EXPECT_FALSE(settings.get(setting_keys::run_in_ui_thread));
    EXPECT_TRUE(settings.get_bool("any", "thing", true));
}

TEST(Setting, ProviderAnswersAreTakenAsGiven) {
    host_store host;
    host.integers["connect_manager/max_syn_count"] = 0;
    host.booleans["system/force_win98"] = 2;
    host.booleans["asyn_frame/run_in_ui_thread"] = 1;
    {
        const setting settings(&host);
        EXPECT_EQ(host.references, 2u);
        EXPECT_EQ(settings.get(setting_keys::max_syn_count), 0u);  // no correction of values
        EXPECT_FALSE(settings.get(setting_keys::force_win98));     // only 1 is true
        EXPECT_TRUE(settings.get(setting_keys::run_in_ui_thread));
        EXPECT_TRUE(provider_bool(&host, "asyn_frame", "run_in_ui_thread", false));
        EXPECT_EQ(settings.get(setting_keys::max_connection), 1000u);  // key the provider lacks
        // Read at every call: nothing is cached.
        host.integers["connect_manager/max_syn_count"] = 9;
        EXPECT_EQ(settings.get(setting_keys::max_syn_count), 9u);
    }
    EXPECT_EQ(host.references, 1u);
}

TEST(Setting, FailingProviderGivesDefaults) {
    host_store host;
    host.integers["socket/recv_buffer_size"] = 1;
    host.booleans["system/force_win98"] = 1;
    host.failure = E_UNEXPECTED;
    const setting settings(&host);
    EXPECT_EQ(settings.get(setting_keys::recv_buffer_size), 8192u);
    EXPECT_FALSE(settings.get(setting_keys::force_win98));
    EXPECT_TRUE(provider_bool(nullptr, "s", "k", true));
}

TEST(StatData, SinkRoundTripAndDefaults) {
    const stat_data none;
    none.set_u64("s", "k", 5);
    EXPECT_EQ(none.get_u64("s", "k", 7), 7u);

    host_store host;
    {
        const stat_data stats(&host);
        EXPECT_EQ(host.references, 2u);
        stats.set_u64(setting_keys::stat_section, setting_keys::dns_time_average, 0x123456789ABCull);
        EXPECT_EQ(host.values["connect_manager/dns_time_average"], 0x123456789ABCull);
        EXPECT_EQ(stats.get_u64(setting_keys::stat_section, setting_keys::dns_time_average, 1), 0x123456789ABCull);
        EXPECT_EQ(stats.get_u64(setting_keys::stat_section_once, setting_keys::dns_time_average, 1), 1u);
        host.failure = E_FAIL;
        stats.set_u64("s", "k", 3);  // dropped
        EXPECT_EQ(stats.get_u64(setting_keys::stat_section, setting_keys::dns_time_average, 1), 1u);
        EXPECT_EQ(host.values.count("s/k"), 0u);
    }
    EXPECT_EQ(host.references, 1u);
}

}  // namespace
}  // namespace asynframe

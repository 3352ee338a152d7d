// Every test of this program runs in a network namespace of its own when the
// machine allows it, so that the system resolver, which the resolver calls
// beside its own queries, cannot reach any server but loopback ones; and with
// a data folder of its own, whose answer-cache file switches the failure list
// on and names the last-good suffix.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "common/isolated_network.h"
#include "common/portable.h"
#include "dns/host_db.h"
#include "dns_servers.h"

namespace {

class dns_environment final : public ::testing::Environment {
public:
    void SetUp() override {
        asynframe::harness::enter_isolated_network();
        asynframe::harness::set_env("ASYNFRAME_DATA_DIR", _data.path().string());
        std::ofstream file(asynframe::host_db::default_path(), std::ios::trunc);
        file << "[domain_fail]\nenable=1\ncache_timeout=20000\n[last_good]\nsuffix="
             << asynframe::dns_test::last_good_suffix << "\n";
    }

private:
    asynframe::dns_test::temp_folder _data;
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new dns_environment);

}  // namespace

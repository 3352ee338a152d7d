// The proxy tests run in a network namespace of their own when the machine
// allows it: the proxies they start can reach nothing but loopback.
#include <gtest/gtest.h>

#include "common/isolated_network.h"

namespace {

class proxy_environment final : public ::testing::Environment {
public:
    void SetUp() override { asynframe::harness::enter_isolated_network(); }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new proxy_environment);

}  // namespace

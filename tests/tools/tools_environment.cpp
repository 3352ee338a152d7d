// Every tool test runs in a network namespace of its own when the machine
// allows it: afresolve, afproxy-check and the proxies they drive resolve
// names, and none of them may reach past loopback.
#include <gtest/gtest.h>

#include "common/isolated_network.h"

namespace {

class tools_environment final : public ::testing::Environment {
public:
    void SetUp() override { asynframe::harness::enter_isolated_network(); }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new tools_environment);

}  // namespace

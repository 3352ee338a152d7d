// The TLS tests run in a network namespace of their own when the machine
// allows it: connects by name go through the resolver, which must reach
// nothing but loopback.
#include <gtest/gtest.h>

#include "common/isolated_network.h"

namespace {

class tls_environment final : public ::testing::Environment {
public:
    void SetUp() override { asynframe::harness::enter_isolated_network(); }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new tls_environment);

}  // namespace

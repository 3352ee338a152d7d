// The TLS tests connect by name (localhost) through
// the resolver, which may ask the system resolver: they run in a network
// namespace of their own when the machine allows it, so that no query can
// leave loopback.
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

// The proxy tests run in a network namespace of their own when the machine
// allows it: the proxies they start can reach nothing but loopback.
#include "common/isolated_network.h"

namespace {

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new asynframe::harness::isolated_network_environment);

}  // namespace

// Every tool test runs in a network namespace of its own when the machine
// allows it: afresolve, afproxy-check and the proxies they drive resolve
// names, and none of them may reach past loopback.
#include "common/isolated_network.h"

namespace {

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new asynframe::harness::isolated_network_environment);

}  // namespace

// The platform tests ask the system's own resolver (a name that exists only
// in the hosts file, one that exists nowhere): in a network namespace of their
// own, that query cannot leave the machine.
#include "common/isolated_network.h"

namespace {

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new asynframe::harness::isolated_network_environment);

}  // namespace

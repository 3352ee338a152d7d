// The tool tests run programs that resolve names (afget, afresolve) through
// the resolver, which may ask the system resolver: they run in a network
// namespace of their own when the machine allows it, so that no query can
// leave loopback; the programs they start inherit it.
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

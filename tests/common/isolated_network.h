// Moves the test program into a network namespace of its own, with only a
// loopback interface, so that nothing it does (the system resolver included)
// can reach another address.
#pragma once

#include <gtest/gtest.h>

namespace asynframe::harness {

// Call before any thread starts. True when the program now runs isolated;
// false without the privilege to make a namespace.
bool enter_isolated_network();
bool network_isolated();

// For a whole test program: registered once in one of its files with
// ::testing::AddGlobalTestEnvironment(new isolated_network_environment).
class isolated_network_environment final : public ::testing::Environment {
public:
    void SetUp() override { enter_isolated_network(); }
};

}  // namespace asynframe::harness

// Moves the test program into a network namespace of its own, with only a
// loopback interface, so that nothing it does (the system resolver included)
// can reach another address.
#pragma once

namespace asynframe::harness {

// Call before any thread starts. True when the program now runs isolated;
// false without the privilege to make a namespace.
bool enter_isolated_network();
bool network_isolated();

}  // namespace asynframe::harness

// The removal run: every kept product removed in turn, the outcomes summed up
// in the exit code, then the registry clean-up and the restart step.
#pragma once

#include <cstdint>
#include <vector>

#include "uninstall/discovery.h"

namespace vx {

// Exit codes of a run.
constexpr std::int32_t kExitSuccess = 0;
constexpr std::int32_t kExitAllFailed = 1;
constexpr std::int32_t kExitSomeFailed = 2;
constexpr std::int32_t kExitSuccessRestartRequired = 3;
constexpr std::int32_t kExitSomeFailedRestartRequired = 4;

// Removes each product of `kept` (at least one), in order, and returns the
// exit code 0 to 4. With `wait` it asks for a key before the first removal;
// with `autoRestart` it restarts Windows when a removal needs it.
std::int32_t RunRemovals(const std::vector<InstalledProduct>& kept, bool wait, bool autoRestart);

} // namespace vx

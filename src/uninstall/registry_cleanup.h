// Deleting the maker's registry keys in both registry views.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vx {

// Deletes `path` below `root`, with everything below it, in the registry
// view that `view` selects (KEY_WOW64_64KEY or KEY_WOW64_32KEY). Returns 0,
// or the first Win32 error code of a failed step.
std::int32_t DeleteRegistryTree(platform::RegistryKey root, const wchar_t* path, std::uint32_t view);

// Deletes "SOFTWARE\Velorantix" and "Software\Policies\Velorantix" below
// HKEY_LOCAL_MACHINE, each in the 64-bit and then the 32-bit view, and warns
// on standard output about each pass that fails for a reason other than the
// key not existing.
void CleanUpRegistry();

} // namespace vx

// Restarting Windows when a removal needs it.
#pragma once

namespace vx {

// Enables the shutdown privilege in the process's own token. True only when
// the privilege was fully granted.
bool EnableShutdownPrivilege();

// Enables the shutdown privilege, asks for a key when `waitForKey` is set,
// and asks Windows to restart. True when Windows accepted the request.
bool RebootSystem(bool waitForKey);

// The last step of a removal run: restarts Windows with `autoRestart`, or
// tells the user to; nothing when no restart is required.
void RestartIfRequired(bool restartRequired, bool autoRestart, bool wait);

} // namespace vx

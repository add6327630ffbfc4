#include "uninstall/restart.h"

#include <iostream>

#include "platform/platform.h"
#include "uninstall/key_prompts.h"

namespace vx {

bool EnableShutdownPrivilege() {
    platform::Handle token = nullptr;
    if (!platform::OpenProcessToken(platform::GetCurrentProcess(),
                                    platform::kTokenAdjustPrivileges | platform::kTokenQuery, &token))
        return false;

    platform::TokenPrivileges request{};
    if (!platform::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &request.luid)) {
        platform::CloseHandle(token);
        return false;
    }
    request.privilegeCount = 1;
    request.attributes = platform::kSePrivilegeEnabled;

    // The call succeeds also when the token does not hold the privilege; only
    // the last error, read at once, tells whether it was granted.
    platform::AdjustTokenPrivileges(token, false, &request, 0);
    const std::uint32_t lastError = platform::GetLastError();
    platform::CloseHandle(token);
    return lastError == 0;
}

bool RebootSystem(bool waitForKey) {
    if (!EnableShutdownPrivilege())
        return false;
    if (waitForKey)
        PromptForKey(L"\nPress any key to reboot.\n");
    // Whatever the run wrote must be out before Windows may end the process.
    std::wcout.flush();
    return platform::ExitWindowsEx(platform::kEwxReboot | platform::kEwxForceIfHung,
                                   platform::kShtdnReasonMajorApplication);
}

void RestartIfRequired(bool restartRequired, bool autoRestart, bool wait) {
    if (!restartRequired)
        return;
    if (!autoRestart) {
        std::wcout << L"System restart required. Please reboot manually.\n";
        return;
    }
    if (!RebootSystem(wait))
        std::wcout << L"Automatic System reboot is not possible. Please restart manually.\n";
}

} // namespace vx

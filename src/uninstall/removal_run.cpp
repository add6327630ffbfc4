#include "uninstall/removal_run.h"

#include <iostream>

#include "uninstall/key_prompts.h"
#include "uninstall/registry_cleanup.h"
#include "uninstall/restart.h"
#include "uninstall/uninstall_product.h"

namespace vx {

std::int32_t RunRemovals(const std::vector<InstalledProduct>& kept, bool wait, bool autoRestart) {
    std::wcout << L"\n";
    if (wait)
        PromptForKey(L"Press any key to proceed with uninstallation.\n");

    bool successSeen = false;
    bool failureSeen = false;
    std::int32_t restartRequired = 0;
    for (const InstalledProduct& product : kept) {
        // On the screen before the installer tool runs, which may take minutes.
        std::wcout << L"Uninstalling: " << product.productName << L" ... " << std::flush;
        std::int32_t restartIndicator = 0;
        if (UninstallProduct(product.productCode, product.productName, &restartIndicator)) {
            successSeen = true;
            if (restartIndicator != 0)
                restartRequired = restartIndicator;
        } else {
            failureSeen = true;
        }
    }

    std::int32_t exitCode = kExitAllFailed;
    if (successSeen) {
        exitCode = failureSeen ? kExitSomeFailed : kExitSuccess;
        if (restartRequired != 0)
            exitCode = failureSeen ? kExitSomeFailedRestartRequired : kExitSuccessRestartRequired;
    }

    // Only when every removal succeeded are the maker's keys removed too.
    if (exitCode == kExitSuccess || exitCode == kExitSuccessRestartRequired)
        CleanUpRegistry();

    RestartIfRequired(restartRequired != 0, autoRestart, wait);
    return exitCode;
}

} // namespace vx

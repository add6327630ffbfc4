#include "uninstall/uninstall_product.h"

#include <iostream>

#include "platform/platform.h"

namespace vx {

namespace {
constexpr std::uint32_t kErrorSuccessRebootRequired = 3010;
constexpr std::uint32_t kSystemDirectoryRoom = 260; // MAX_PATH, the terminator included

bool LaunchFailed(const std::wstring& productName) {
    std::wcerr << L"Failed to launch msiexec for " << productName << L"\n";
    return false;
}
} // namespace

bool UninstallProduct(const std::wstring& productCode, const std::wstring& productName,
                      std::int32_t* restartRequired) {
    const std::wstring parameters = L"/x " + productCode + L" /qn /norestart OPEN_URL=\"0\"";

    // The tool is named by its full path in the system directory. A bare file
    // name would be searched for, the working directory first, and whatever
    // msiexec.exe lies there would run with the caller's rights.
    wchar_t systemDirectory[kSystemDirectoryRoom];
    const std::uint32_t length = platform::GetSystemDirectoryW(systemDirectory, kSystemDirectoryRoom);
    if (length == 0 || length >= kSystemDirectoryRoom) // unreadable, or the room it would need
        return LaunchFailed(productName);
    const std::wstring tool = std::wstring(systemDirectory, length) + L"\\msiexec.exe";

    platform::ShellExecuteRecord launch{};
    launch.mask = platform::kSeeMaskNoCloseProcess;
    launch.window = nullptr;
    launch.verb = L"open";
    launch.file = tool.c_str();
    launch.parameters = parameters.c_str();
    launch.directory = nullptr;
    launch.show = platform::kSwHide;

    if (!platform::ShellExecuteExW(&launch))
        return LaunchFailed(productName);

    platform::WaitForSingleObject(launch.process, platform::kInfinite);
    std::uint32_t exitCode = 1; // stands when the query fails
    platform::GetExitCodeProcess(launch.process, &exitCode);
    platform::CloseHandle(launch.process);

    if (exitCode == 0) {
        std::wcout << L"success" << L"\n";
        return true;
    }
    if (exitCode == kErrorSuccessRebootRequired) {
        std::wcout << L"success (reboot required)" << L"\n";
        if (restartRequired != nullptr)
            *restartRequired = 1;
        return true;
    }
    std::wcerr << L"failed (" << exitCode << L")" << L"\n";
    return false;
}

} // namespace vx

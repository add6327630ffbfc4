#include "uninstall/registry_cleanup.h"

#include <iostream>
#include <string>
#include <vector>

namespace vx {

namespace {
// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY.
constexpr std::uint32_t kOpenAccess = 0x2001Fu;
} // namespace

std::int32_t DeleteRegistryTree(platform::RegistryKey root, const wchar_t* path, std::uint32_t view) {
    platform::RegistryKey key = nullptr;
    const std::int32_t opened = platform::RegOpenKeyExW(root, path, 0, kOpenAccess | view, &key);
    if (opened != platform::kErrorSuccess)
        return opened;
    const std::int32_t emptied = platform::RegDeleteTreeW(key, nullptr);
    platform::RegCloseKey(key);
    if (emptied != platform::kErrorSuccess)
        return emptied;
    // The key itself, in the same view as the open: a path below the root
    // alone would always name the process's own view.
    return platform::RegDeleteKeyExW(root, path, view, 0);
}

void CleanUpRegistry() {
    const std::vector<std::wstring> keys = {L"SOFTWARE\\Velorantix", L"Software\\Policies\\Velorantix"};
    for (const std::wstring& path : keys) {
        const std::int32_t result64 =
            DeleteRegistryTree(platform::LocalMachine(), path.c_str(), platform::kKeyWow64_64Key);
        if (result64 != platform::kErrorSuccess && result64 != platform::kErrorFileNotFound)
            std::wcout << L"Warning: cannot remove Velorantix registry key [" << path << L"].Error code : "
                       << result64 << L"\n";
        const std::int32_t result32 =
            DeleteRegistryTree(platform::LocalMachine(), path.c_str(), platform::kKeyWow64_32Key);
        if (result32 != platform::kErrorSuccess && result32 != platform::kErrorFileNotFound)
            std::wcout << L"Warning: cannot remove 32-bit Velorantix registry key [" << path
                       << L"]. Error code: " << result32 << L"\n";
    }
}

} // namespace vx

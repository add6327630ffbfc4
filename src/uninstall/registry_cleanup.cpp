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
    // Each key in the 64-bit view, then in the 32-bit view; the two warnings
    // differ in more than the view's name, and scripts match them as they are.
    struct Pass {
        std::uint32_t view;
        const wchar_t* warning;
        const wchar_t* errorCode;
    };
    const Pass passes[] = {
        {platform::kKeyWow64_64Key, L"Warning: cannot remove Velorantix registry key [", L"].Error code : "},
        {platform::kKeyWow64_32Key, L"Warning: cannot remove 32-bit Velorantix registry key [", L"]. Error code: "},
    };
    const std::vector<std::wstring> keys = {L"SOFTWARE\\Velorantix", L"Software\\Policies\\Velorantix"};
    for (const std::wstring& path : keys) {
        for (const Pass& pass : passes) {
            const std::int32_t result = DeleteRegistryTree(platform::LocalMachine(), path.c_str(), pass.view);
            if (result != platform::kErrorSuccess && result != platform::kErrorFileNotFound)
                std::wcout << pass.warning << path << pass.errorCode << result << L"\n";
        }
    }
}

} // namespace vx

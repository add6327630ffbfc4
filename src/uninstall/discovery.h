// Finding the installed products through the Windows Installer, and the
// match on the maker's name.
#pragma once

#include <string>
#include <vector>

namespace vx {

// One installed product as the Windows Installer reports it. A name or
// publisher that the installer cannot supply holds "(unknown)".
struct InstalledProduct {
    std::wstring productCode;
    std::wstring productName;
    std::wstring publisher;
};

// Every product the installer reports, in its enumeration order. A failing
// enumeration ends the walk; the products found before it are returned.
std::vector<InstalledProduct> EnumerateInstalledProducts();

// True when `text` contains "velorantix" once its ASCII capitals are lowered.
bool ContainsMakerName(const std::wstring& text);

} // namespace vx

#include "uninstall/discovery.h"

#include <cwchar>

#include "platform/platform.h"

namespace vx {

namespace {

constexpr std::size_t kProductCodeRoom = 40;
constexpr std::uint32_t kValueRoom = 256;
constexpr wchar_t kUnknown[] = L"(unknown)";
constexpr wchar_t kMatchKey[] = L"velorantix";

// Reads one property into `value`; "(unknown)" when the installer cannot
// deliver it whole.
void QueryProperty(const wchar_t* productCode, const wchar_t* property, wchar_t (&value)[kValueRoom]) {
    std::uint32_t length = kValueRoom;
    if (platform::MsiGetProductInfoW(productCode, property, value, &length) != 0)
        std::wmemcpy(value, kUnknown, sizeof kUnknown / sizeof kUnknown[0]); // with its terminator
}

// The text of a terminated buffer; never reads past the buffer's room.
template <std::size_t Room>
std::wstring TextOf(const wchar_t (&buffer)[Room]) {
    std::size_t length = 0;
    while (length < Room && buffer[length] != L'\0')
        ++length;
    return std::wstring(buffer, length);
}

} // namespace

std::vector<InstalledProduct> EnumerateInstalledProducts() {
    std::vector<InstalledProduct> products;
    wchar_t productCode[kProductCodeRoom] = {};
    wchar_t name[kValueRoom] = {};
    wchar_t publisher[kValueRoom] = {};
    for (std::uint32_t index = 0; platform::MsiEnumProductsW(index, productCode) == 0; ++index) {
        QueryProperty(productCode, L"InstalledProductName", name);
        QueryProperty(productCode, L"Publisher", publisher);
        products.push_back(InstalledProduct{TextOf(productCode), TextOf(name), TextOf(publisher)});
    }
    return products;
}

bool ContainsMakerName(const std::wstring& text) {
    std::wstring lowered = text;
    for (wchar_t& unit : lowered) {
        // Only the ASCII capitals change: no other unit is lowered, whatever
        // the locale's idea of case.
        if (unit >= L'A' && unit <= L'Z')
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
    }
    return lowered.find(kMatchKey) != std::wstring::npos;
}

} // namespace vx

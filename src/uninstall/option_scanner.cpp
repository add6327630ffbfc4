#include "uninstall/option_scanner.h"

#include <cwchar>
#include <iostream>

namespace vx {

std::int32_t optind = 1;
std::uint16_t optopt = L'?';
std::int32_t opterr = 1;
const wchar_t* optarg = nullptr;
std::int32_t optreset = 0;

namespace {
// The next character of the current argument to examine; null while no
// argument is being scanned. A pointer into the characters, so moving the
// caller's array between calls leaves it valid.
const wchar_t* scanPosition = nullptr;
} // namespace

std::uint16_t getopt(std::int32_t argc, wchar_t* const* argv, const wchar_t* optstring) {
    if (optstring == nullptr)
        return kGetoptEnd;

    if (optreset != 0) {
        optarg = nullptr;
        optopt = L'?';
        scanPosition = nullptr;
        optreset = 0;
        opterr = 1;
        optind = 1;
    } else if (scanPosition != nullptr && *scanPosition == L'\0') {
        // The previous call returned this argument's last character.
        scanPosition = nullptr;
        ++optind;
    }

    if (optind >= argc)
        return kGetoptEnd;

    if (scanPosition == nullptr) {
        const wchar_t* argument = argv[optind];
        if (argument[0] != L'-')
            return kGetoptEnd;
        if (argument[1] == L'-')
            return kGetoptEnd; // "--" and everything that begins with it is left in place
        scanPosition = argument + 1;
    }

    const wchar_t c = *scanPosition;
    const wchar_t* found = (c == L'\0') ? nullptr : std::wcschr(optstring, c);
    if (found == nullptr) {
        optopt = static_cast<std::uint16_t>(c);
        return L'?';
    }

    if (found[1] != L':') {
        ++scanPosition;
        return static_cast<std::uint16_t>(c);
    }

    // The option takes an argument: the rest of this argument, or the next one whole.
    const wchar_t* rest = scanPosition + 1;
    scanPosition = nullptr;
    if (*rest != L'\0') {
        optarg = rest;
        ++optind;
        return static_cast<std::uint16_t>(c);
    }
    if (optind + 1 < argc) {
        optarg = argv[optind + 1];
        optind += 2;
        return static_cast<std::uint16_t>(c);
    }
    ++optind;
    if (opterr != 0)
        std::wcerr << L"option requires an argument -- " << c << L"\n";
    optopt = static_cast<std::uint16_t>(c);
    return L'?';
}

} // namespace vx

// The entry point: the run from the banner to the exit code.
#include <cstdint>
#include <cwchar>
#include <iostream>
#include <vector>

#include "uninstall/console.h"
#include "uninstall/discovery.h"
#include "uninstall/key_prompts.h"
#include "uninstall/option_scanner.h"
#include "uninstall/removal_run.h"

namespace {

constexpr wchar_t kBanner[] =
    L"Velorantix Product Uninstaller v1.0\n"
    L"Copyright (c) 2026 Velorantix. All rights reserved.\n";

constexpr wchar_t kUsage[] =
    L"\nUSAGE:\n"
    L"vxuninstall.exe [-w] [-u [-r]]\n"
    L"\t-w - wait for user confirmation before exit and uninstall\n"
    L"\t-u - perform uninstall instead of just printing the list of products\n"
    L"\t-r - automatically reboot after the last product uninstall if needed\n"
    L"vxuninstall.exe -h\n"
    L"\t-h - show this usage information\n"
    L"\n"
    L"EXIT CODES:\n"
    L"\t0 - success (all products uninstalled or nothing to uninstall)\n"
    L"\t1 - failed (all uninstall operations failed)\n"
    L"\t2 - partially failed (at least one uninstall operation failed)\n"
    L"\t3 - success, but manual restart required\n"
    L"\t4 - partially failed, but manual restart required\n";

} // namespace

int wmain(int argc, wchar_t** argv) {
    vx::SetUpConsoleStreams();
    std::wcout << kBanner;

    bool uninstall = false;
    bool autoRestart = false;
    bool wait = false;
    bool usage = false;

    // An option character outside the option string makes the scanner report
    // it again and again; each report shortens the argument list by optind
    // until the scan ends, so no later option is taken.
    for (std::uint16_t option = vx::getopt(argc, argv, L"urwh"); option != vx::kGetoptEnd;
         option = vx::getopt(argc, argv, L"urwh")) {
        switch (option) {
        case L'u': uninstall = true; break;
        case L'r': autoRestart = true; break;
        case L'w': wait = true; break;
        case L'h': usage = true; break;
        default:
            argc -= vx::optind;
            argv += vx::optind;
            usage = true;
            break;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"/?") == 0)
            usage = true;
    }

    std::int32_t exitCode = vx::kExitSuccess;
    std::vector<vx::InstalledProduct> products;
    std::vector<vx::InstalledProduct> kept;
    if (usage) {
        std::wcout << kUsage;
    } else {
        products = vx::EnumerateInstalledProducts();
        for (const vx::InstalledProduct& product : products) {
            if (vx::ContainsMakerName(product.productName) || vx::ContainsMakerName(product.publisher))
                kept.push_back(product);
        }
        if (kept.empty()) {
            std::wcout << L"No products containing 'Velorantix' found.\n";
        } else {
            std::wcout << L"Found 'Velorantix' products:\n";
            for (const vx::InstalledProduct& product : kept)
                std::wcout << L"- " << product.productName << L"\n";
            if (uninstall)
                exitCode = vx::RunRemovals(kept, wait, autoRestart);
        }
    }

    if (wait)
        vx::ExitPrompt();
    std::wcout.flush();
    return exitCode;
}

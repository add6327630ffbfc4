// Any argument list gives a run that ends with the usage text or the listing,
// exit code 0, and never a crash. The input is split at NUL bytes into
// arguments; each byte pair is one UTF-16 unit, so empty arguments, lone
// "-", "--x", "/?" and any unit, surrogate halves included, all occur.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0)
            arguments.emplace_back();
        else
            arguments.back() += unit;
    }
    host_test::FreshProcess();
    sim::Current().products = {{L"{11111111-1111-1111-1111-111111111111}", {L"Velorantix Agent"}, {L"Velorantix"}}};
    const int code = host_test::RunProgram(arguments);
    // Without -u reaching the scanner nothing is removed; with it, the one
    // product is removed and the run succeeds. Either way the code is 0.
    if (code != 0)
        std::abort();
    const std::string& out = host_test::Out();
    const bool usage = out.find("\nUSAGE:\n") != std::string::npos;
    const bool listing = out.find("Found 'Velorantix' products:\n- Velorantix Agent\n") != std::string::npos;
    if (usage == listing)
        std::abort();
    if (usage && !sim::Current().launchedParameters.empty())
        std::abort();
    return 0;
}

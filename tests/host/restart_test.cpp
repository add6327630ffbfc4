// The restart step: enabling the shutdown privilege, the reboot prompt, the
// restart request, and the texts when a restart cannot be made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_helpers.h"
#include "uninstall/console.h"
#include "uninstall/restart.h"

namespace {

using namespace host_test;


const char* const kOpen = "OpenProcessToken(current-process, 0x28)";
const char* const kLookup = "LookupPrivilegeValueW(null, \"SeShutdownPrivilege\")";
const char* const kAdjust = "AdjustTokenPrivileges(token#1, FALSE, count=1, luid=0:19, attributes=2, 0)";
const char* const kClose = "CloseHandle(token#1)";
const char* const kRequest = "ExitWindowsEx(0x12, 0x40000)";

std::vector<std::string> TokenCalls() {
    return host_test::CallsStartingWith({"OpenProcessToken", "LookupPrivilegeValueW", "AdjustTokenPrivileges",
                                         "GetLastError", "CloseHandle(token", "ExitWindowsEx"});
}


// Index of the first write to standard output that ends with `text`.
std::size_t WriteEndingWith(const std::string& text) {
    const std::vector<std::string>& calls = sim::Current().calls;
    const std::string ending = text + "\"";
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind("stdout \"", 0) == 0 && calls[i].size() >= ending.size() + 8 &&
            calls[i].compare(calls[i].size() - ending.size(), ending.size(), ending) == 0)
            return i;
    return calls.size();
}


struct Products {
    std::vector<std::uint32_t> exitCodes;
    int exitCode;
    const char* listing;
    const char* lines;
};

const Products kNeedsRestart[] = {
    {{3010}, 3, "Found 'Velorantix' products:\n- Velorantix A\n",
     "Uninstalling: Velorantix A ... success (reboot required)\n"},
    {{1603, 3010}, 4, "Found 'Velorantix' products:\n- Velorantix A\n- Velorantix B\n",
     "Uninstalling: Velorantix A ... failed (1603)\nUninstalling: Velorantix B ... success (reboot required)\n"},
};

void Install(const std::vector<std::uint32_t>& exitCodes) {
    sim::State& machine = sim::Current();
    for (std::size_t i = 0; i < exitCodes.size(); ++i) {
        const std::wstring letter(1, static_cast<wchar_t>(L'A' + i));
        machine.products.push_back({L"{" + letter + L"}", {L"Velorantix " + letter}, {L""}});
        machine.launches[L"{" + letter + L"}"].exitCode = exitCodes[i];
    }
}

class Restart : public ::testing::Test {
protected:
    void SetUp() override { host_test::FreshProcess(); }
    sim::State& machine = sim::Current();
};

struct Scenario {
    const char* what;
    void (*arrange)(sim::State&);
    std::vector<std::string> calls; // token and shutdown calls, in order
    bool privilegeEnabled;
    bool accepted;
};

const Scenario kScenarios[] = {
    {"restart accepted", [](sim::State&) {},
     {kOpen, kLookup, kAdjust, "GetLastError() = 0", kClose, kRequest}, true, true},
    {"token cannot be opened", [](sim::State& m) { m.openTokenFails = true; }, {kOpen}, false, false},
    {"privilege lookup fails", [](sim::State& m) { m.lookupFails = true; }, {kOpen, kLookup, kClose}, false, false},
    {"privilege not held", [](sim::State& m) { m.lastErrorAfterAdjust = sim::kErrorNotAllAssigned; },
     {kOpen, kLookup, kAdjust, "GetLastError() = 1300", kClose}, false, false},
    {"adjustment fails",
     [](sim::State& m) {
         m.adjustFails = true;
         m.lastErrorAfterAdjust = 6;
     },
     {kOpen, kLookup, kAdjust, "GetLastError() = 6", kClose}, false, false},
    {"adjustment reports failure but leaves no error",
     [](sim::State& m) { m.adjustFails = true; },
     {kOpen, kLookup, kAdjust, "GetLastError() = 0", kClose, kRequest}, true, true},
    {"restart refused", [](sim::State& m) { m.restartRefused = true; },
     {kOpen, kLookup, kAdjust, "GetLastError() = 0", kClose, kRequest}, true, false},
};

TEST_F(Restart, AutomaticRestartCallsTextsAndPromptsInEveryOutcome) {
    for (const Scenario& scenario : kScenarios) {
        for (const Products& products : kNeedsRestart) {
            for (const bool wait : {false, true}) {
                SCOPED_TRACE(std::string(scenario.what) + (wait ? ", -w" : "") + ", exit code " +
                             std::to_string(products.exitCode));
                host_test::FreshProcess();
                Install(products.exitCodes);
                scenario.arrange(machine);
                machine.typedLater = {sim::KeyDown(L'k', 0x4B), sim::KeyDown(L'k', 0x4B), sim::KeyDown(L'k', 0x4B)};

                const int code = wait ? host_test::RunProgram({L"-u", L"-r", L"-w"})
                                      : host_test::RunProgram({L"-u", L"-r"});

                EXPECT_EQ(products.exitCode, code) << "the restart step never changes the exit code";
                EXPECT_EQ(scenario.calls, TokenCalls());
                EXPECT_EQ(scenario.accepted, machine.restartRequested);

                std::string expected = std::string(kBanner) + products.listing + "\n";
                if (wait) expected += kProceedPrompt;
                expected += products.lines;
                if (wait && scenario.privilegeEnabled) expected += kRebootPrompt;
                if (!scenario.accepted) expected += kNotPossible;
                if (wait) expected += kExitPrompt;
                EXPECT_EQ(expected, Transcript());
                EXPECT_EQ(products.exitCode == 4 ? "failed (1603)\n" : "", host_test::Err());
                // Proceed, reboot (only once the privilege is enabled) and exit prompt.
                EXPECT_EQ(wait ? (scenario.privilegeEnabled ? 3u : 2u) : 0u,
                          host_test::CallsStartingWith({"GetStdHandle(-10)"}).size());

                if (scenario.calls.size() >= 4) {
                    // The last error is read right after the adjustment, and
                    // the token is closed only after that.
                    const std::size_t adjust = IndexOf("AdjustTokenPrivileges");
                    ASSERT_LT(adjust + 1, machine.calls.size());
                    EXPECT_EQ(0u, machine.calls[adjust + 1].rfind("GetLastError()", 0));
                    EXPECT_LT(adjust + 1, IndexOf(kClose));
                }
                if (wait && scenario.privilegeEnabled) {
                    // The prompt and its key wait stand between the enabled
                    // privilege and the restart request.
                    const std::size_t prompt = WriteEndingWith(kRebootPrompt);
                    const std::size_t request = IndexOf("ExitWindowsEx");
                    EXPECT_LT(IndexOf(kClose), prompt);
                    bool waited = false;
                    for (std::size_t i = prompt; i < request && i < machine.calls.size(); ++i)
                        waited = waited || machine.calls[i].rfind("ReadConsoleInputW", 0) == 0;
                    EXPECT_TRUE(waited);
                    EXPECT_LT(prompt, request);
                }
            }
        }
    }
}

TEST_F(Restart, WithoutAutoRestartTheMessageIsWrittenOnceAndTheTokenIsNotOpened) {
    struct Case {
        std::vector<std::uint32_t> exitCodes;
        bool wait;
        int exitCode;
        std::string lines;
    };
    const Case cases[] = {
        {{3010, 3010, 0}, false, 3,
         "Uninstalling: Velorantix A ... success (reboot required)\n"
         "Uninstalling: Velorantix B ... success (reboot required)\nUninstalling: Velorantix C ... success\n"},
        {{3010, 1603, 3010}, true, 4,
         "Uninstalling: Velorantix A ... success (reboot required)\nUninstalling: Velorantix B ... failed (1603)\n"
         "Uninstalling: Velorantix C ... success (reboot required)\n"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.exitCode);
        host_test::FreshProcess();
        Install(item.exitCodes);
        machine.typedLater = {sim::KeyDown(L'k', 0x4B), sim::KeyDown(L'k', 0x4B)};

        const int code = item.wait ? host_test::RunProgram({L"-u", L"-w"}) : host_test::RunProgram({L"-u"});

        EXPECT_EQ(item.exitCode, code);
        const std::string listing = "Found 'Velorantix' products:\n- Velorantix A\n- Velorantix B\n- Velorantix C\n\n";
        EXPECT_EQ(kBanner + listing + (item.wait ? kProceedPrompt : "") + item.lines + kRestartMessage +
                      (item.wait ? kExitPrompt : ""),
                  Transcript());
        EXPECT_TRUE(TokenCalls().empty());
        EXPECT_FALSE(machine.restartRequested);
    }
}

TEST_F(Restart, NoRestartNeededMeansNoTokenAndNoTextEvenWithAutoRestart) {
    struct Case {
        std::vector<std::uint32_t> exitCodes;
        int exitCode;
    };
    const Case cases[] = {{{0}, 0}, {{1603}, 1}, {{0, 1603}, 2}, {{1641, 1641}, 1}};
    for (const Case& item : cases) {
        SCOPED_TRACE(item.exitCode);
        host_test::FreshProcess();
        Install(item.exitCodes);

        EXPECT_EQ(item.exitCode, host_test::RunProgram({L"-u", L"-r", L"-w"}));

        EXPECT_TRUE(TokenCalls().empty());
        const std::string& out = host_test::Out();
        EXPECT_EQ(std::string::npos, out.find("reboot"));
        EXPECT_EQ(std::string::npos, out.find("restart"));
        EXPECT_FALSE(machine.restartRequested);
    }
}

TEST_F(Restart, TheOperationsReportWhetherThePrivilegeAndTheRequestWentThrough) {
    vx::SetUpConsoleStreams();
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.what);
        host_test::FreshProcess();
        scenario.arrange(machine);
        EXPECT_EQ(scenario.privilegeEnabled, vx::EnableShutdownPrivilege());
        EXPECT_TRUE(host_test::CallsStartingWith({"ExitWindowsEx"}).empty());

        host_test::FreshProcess();
        scenario.arrange(machine);
        EXPECT_EQ(scenario.accepted, vx::RebootSystem(false));
        EXPECT_EQ(scenario.calls, TokenCalls());
        std::wcout.flush();
        EXPECT_EQ("", machine.stdoutBytes) << "no text of their own without the wait";
        EXPECT_TRUE(host_test::CallsStartingWith({"GetStdHandle(-10)"}).empty());
    }
}

} // namespace

namespace {

// Windows may end the process once it accepts the restart request: every
// line of the run must be out by then, also when output goes to a log file.
TEST_F(Restart, EverythingWrittenSoFarIsOutBeforeTheRequest) {
    Install({0, 3010});
    machine.keys.insert({sim::View::Bits64, L"software\\velorantix"});
    machine.openFailures[{sim::View::Bits32, L"software\\velorantix"}] = sim::kErrorAccessDenied;
    EXPECT_EQ(3, host_test::RunProgram({L"-u", L"-r"}));
    const std::size_t request = IndexOf(kRequest);
    ASSERT_LT(request, machine.calls.size());
    std::string before;
    for (std::size_t i = 0; i < request; ++i)
        if (machine.calls[i].rfind("stdout \"", 0) == 0)
            before += machine.calls[i].substr(8, machine.calls[i].size() - 9);
    EXPECT_EQ(std::string(kBanner) +
                  "Found 'Velorantix' products:\n- Velorantix A\n- Velorantix B\n\n"
                  "Uninstalling: Velorantix A ... success\n"
                  "Uninstalling: Velorantix B ... success (reboot required)\n"
                  "Warning: cannot remove 32-bit Velorantix registry key [SOFTWARE\\Velorantix]. Error code: 5\n",
              before);
}

} // namespace

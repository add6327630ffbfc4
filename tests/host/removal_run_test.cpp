// The removal run through the whole program: the order of the removals, the
// progress lines, the proceed prompt and the exit code with what follows it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_helpers.h"

namespace {

using namespace host_test;


constexpr std::uint32_t kRefused = 0xFFFFFFFEu; // marker: the launch is refused

// One kept product per entry, named "A", "B", "C"... with codes "{A}"...,
// whose removal ends with the given exit code.
void InstallProducts(const std::vector<std::uint32_t>& exitCodes) {
    sim::State& machine = sim::Current();
    for (std::size_t i = 0; i < exitCodes.size(); ++i) {
        const std::wstring letter(1, static_cast<wchar_t>(L'A' + i));
        machine.products.push_back({L"{" + letter + L"}", {letter}, {L"Velorantix Ltd."}});
        if (exitCodes[i] == kRefused)
            machine.launches[L"{" + letter + L"}"].refused = true;
        else
            machine.launches[L"{" + letter + L"}"].exitCode = exitCodes[i];
    }
}

std::string Listing(std::size_t count) {
    std::string text = "Found 'Velorantix' products:\n";
    for (std::size_t i = 0; i < count; ++i)
        text += "- " + std::string(1, static_cast<char>('A' + i)) + "\n";
    return text;
}



std::size_t LastIndexOf(const std::string& prefix) {
    const std::vector<std::string>& calls = sim::Current().calls;
    for (std::size_t i = calls.size(); i-- > 0;)
        if (calls[i].rfind(prefix, 0) == 0) return i;
    return calls.size();
}

std::size_t Count(const char* prefix) { return host_test::CallsStartingWith({prefix}).size(); }

class RemovalRun : public ::testing::Test {
protected:
    void SetUp() override { host_test::FreshProcess(); }
    sim::State& machine = sim::Current();
};

struct RunCase {
    const char* what;
    std::vector<std::uint32_t> exitCodes;
    bool autoRestart;
    int exitCode;
    const char* lines; // what the run writes below the empty line
    bool cleanUp;
    bool restartAttempted;
};

const RunCase kRuns[] = {
    {"one success", {0}, false, 0, "Uninstalling: A ... success\n", true, false},
    {"two successes, -r", {0, 0}, true, 0, "Uninstalling: A ... success\nUninstalling: B ... success\n", true, false},
    {"one failure", {1603}, false, 1, "Uninstalling: A ... failed (1603)\n", false, false},
    {"one failure, -r", {1603}, true, 1, "Uninstalling: A ... failed (1603)\n", false, false},
    {"launch refused", {kRefused}, false, 1, "Uninstalling: A ... Failed to launch msiexec for A\n", false, false},
    {"every removal fails", {1603, 1641, kRefused}, true, 1,
     "Uninstalling: A ... failed (1603)\nUninstalling: B ... failed (1641)\n"
     "Uninstalling: C ... Failed to launch msiexec for C\n",
     false, false},
    {"first fails, the others succeed", {1603, 0, 0}, false, 2,
     "Uninstalling: A ... failed (1603)\nUninstalling: B ... success\nUninstalling: C ... success\n", false, false},
    {"some failed, -r", {0, 1603}, true, 2, "Uninstalling: A ... success\nUninstalling: B ... failed (1603)\n", false,
     false},
    {"restart needed", {3010}, false, 3,
     "Uninstalling: A ... success (reboot required)\nSystem restart required. Please reboot manually.\n", true,
     false},
    {"restart needed, -r", {3010}, true, 3, "Uninstalling: A ... success (reboot required)\n", true, true},
    {"restart needed first, then plain successes", {3010, 0, 0}, false, 3,
     "Uninstalling: A ... success (reboot required)\nUninstalling: B ... success\nUninstalling: C ... success\n"
     "System restart required. Please reboot manually.\n",
     true, false},
    {"a failure and a restart", {1603, 3010}, false, 4,
     "Uninstalling: A ... failed (1603)\nUninstalling: B ... success (reboot required)\n"
     "System restart required. Please reboot manually.\n",
     false, false},
    {"a restart and a failure, -r", {3010, 1603}, true, 4,
     "Uninstalling: A ... success (reboot required)\nUninstalling: B ... failed (1603)\n", false, true},
};

TEST_F(RemovalRun, TheOutcomesGiveTheExitCodeTheCleanUpAndTheRestartStep) {
    for (const RunCase& item : kRuns) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        InstallProducts(item.exitCodes);

        const int code = item.autoRestart ? host_test::RunProgram({L"-u", L"-r"}) : host_test::RunProgram({L"-u"});

        EXPECT_EQ(item.exitCode, code);
        EXPECT_EQ(kBanner + Listing(item.exitCodes.size()) + "\n" + item.lines, Transcript());
        EXPECT_TRUE(LineEndsAreCrLf(machine.stdoutFile)) << machine.stdoutFile;
        EXPECT_TRUE(LineEndsAreCrLf(machine.stderrFile)) << machine.stderrFile;
        // Every product is tried, in list order, whatever the outcomes before.
        std::vector<std::wstring> expectedLaunches;
        for (std::size_t i = 0; i < item.exitCodes.size(); ++i)
            expectedLaunches.push_back(L"/x {" + std::wstring(1, static_cast<wchar_t>(L'A' + i)) +
                                       L"} /qn /norestart OPEN_URL=\"0\"");
        EXPECT_EQ(expectedLaunches, machine.launchedParameters);

        EXPECT_EQ(item.cleanUp ? 4u : 0u, Count("RegOpenKeyExW"));
        if (!item.cleanUp) EXPECT_EQ(0u, Count("Reg"));
        EXPECT_EQ(item.restartAttempted ? 1u : 0u, Count("OpenProcessToken"));
        EXPECT_EQ(item.restartAttempted ? 1u : 0u, Count("ExitWindowsEx"));
        // The clean-up comes before whatever the restart step does.
        if (item.cleanUp && item.exitCode == 3) {
            const std::size_t restartStep = item.restartAttempted ? IndexOf("OpenProcessToken")
                                                                  : IndexOf(std::string("stdout \"") + kRestartMessage);
            EXPECT_LT(LastIndexOf("Reg"), restartStep);
        }
    }
}

TEST_F(RemovalRun, EachProgressLineIsWrittenBeforeItsInstallerToolStarts) {
    InstallProducts({0, 1603, 3010});

    EXPECT_EQ(4, host_test::RunProgram({L"-u"}));

    const char* const lineStarts[] = {"Uninstalling: A ... ", "Uninstalling: B ... ", "Uninstalling: C ... "};
    const char* const lineEnds[] = {"success\n", "failed (1603)\n", "success (reboot required)\n"};
    std::string expected = kBanner + Listing(3) + "\n";
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(lineStarts[i]);
        const std::size_t launch = IndexOf("ShellExecuteExW", i);
        ASSERT_LT(launch, machine.calls.size());
        expected += lineStarts[i];
        EXPECT_EQ(expected, TranscriptBefore(launch)) << "the line is on the screen while the tool runs";
        expected += lineEnds[i];
    }
    EXPECT_EQ(expected + kRestartMessage, Transcript());
    EXPECT_EQ("failed (1603)\n", host_test::Err());
}

TEST_F(RemovalRun, TheProceedPromptFollowsTheEmptyLineAndWaitsBeforeTheFirstRemoval) {
    InstallProducts({0, 0});
    machine.typedLater = {sim::KeyDown(L'y', 0x59), sim::KeyDown(L'y', 0x59)};

    EXPECT_EQ(0, host_test::RunProgram({L"-u", L"-w"}));

    EXPECT_EQ(kBanner + Listing(2) + "\n" + kProceedPrompt +
                  "Uninstalling: A ... success\nUninstalling: B ... success\n" + kExitPrompt,
              host_test::Out());
    const std::size_t wait = IndexOf("GetStdHandle(-10)");
    const std::size_t firstLaunch = IndexOf("ShellExecuteExW");
    EXPECT_EQ(kBanner + Listing(2) + "\n" + kProceedPrompt, TranscriptBefore(wait))
        << "the prompt is on the screen when the wait begins";
    EXPECT_LT(IndexOf("ReadConsoleInputW"), firstLaunch) << "the key is read before the first removal";
    EXPECT_GT(IndexOf("GetStdHandle(-10)", 1), firstLaunch) << "exactly one wait before the removals";
    EXPECT_EQ(2u, Count("GetStdHandle(-10)")) << "the proceed prompt and the exit prompt";
    EXPECT_TRUE(machine.typedLater.empty());
    EXPECT_FALSE(machine.readWhileEmpty);
}

TEST_F(RemovalRun, WithoutTheWaitOptionTheConsoleInputIsNeverTouched) {
    InstallProducts({0, 3010});
    machine.typedAhead = {sim::KeyDown(L'y', 0x59)};

    EXPECT_EQ(3, host_test::RunProgram({L"-u", L"-r"}));

    EXPECT_EQ(kBanner + Listing(2) + "\nUninstalling: A ... success\nUninstalling: B ... success (reboot required)\n",
              host_test::Out());
    EXPECT_EQ(0u, host_test::CallsStartingWith({"GetStdHandle(-10)", "FlushConsoleInputBuffer", "CreateFileW",
                                                "SetConsoleMode", "ReadConsoleInputW"})
                      .size());
    EXPECT_EQ(1u, machine.typedAhead.size());
}

TEST_F(RemovalRun, AutoRestartWithoutUninstallHasNoEffect) {
    InstallProducts({3010});

    EXPECT_EQ(0, host_test::RunProgram({L"-r"}));

    EXPECT_EQ(kBanner + Listing(1), host_test::Out());
    EXPECT_EQ("", host_test::Err());
    EXPECT_TRUE(machine.launchedParameters.empty());
    EXPECT_EQ(0u, host_test::CallsStartingWith({"ShellExecuteExW", "Reg", "OpenProcessToken", "ExitWindowsEx"}).size());
}

TEST_F(RemovalRun, AProductWithoutANameIsRemovedByItsCodeUnderThePlaceholder) {
    machine.products = {{L"{N}", {L"", sim::kErrorUnknownProperty}, {L"Velorantix"}}};

    EXPECT_EQ(0, host_test::RunProgram({L"-u"}));

    EXPECT_EQ(std::string(kBanner) + "Found 'Velorantix' products:\n- (unknown)\n\nUninstalling: (unknown) ... success\n",
              host_test::Out());
    EXPECT_EQ(std::vector<std::wstring>{L"/x {N} /qn /norestart OPEN_URL=\"0\""}, machine.launchedParameters);
}

// Output that cannot be written (standard output or standard error on a
// closed pipe, or a console that is gone) changes nothing else: every
// removal runs, the keys are deleted when they would be, the restart is
// asked for, the exit code stands, and each flush costs one failed call at
// most.
TEST_F(RemovalRun, OutputThatCannotBeWrittenNeverStopsTheRun) {
    struct Products {
        const char* what;
        std::vector<std::uint32_t> exitCodes;
        int exitCode;
    };
    const Products productSets[] = {
        {"every removal succeeds, one needs a restart", {0, 3010, 0}, 3},
        {"failures on standard error", {1603, 0, kRefused}, 2},
    };
    struct Outcome {
        int exitCode = -1;
        std::vector<std::wstring> launches;
        bool keysLeft = false;
        bool restartRequested = false;
        std::string stdoutFile, stderrFile;
        std::wstring stdoutUnits, stderrUnits;
        std::size_t stdoutCalls = 0, stderrCalls = 0;
    };
    const auto run = [this](const Products& products, bool console, bool stdoutFails, bool stderrFails) {
        host_test::FreshProcess();
        InstallProducts(products.exitCodes);
        for (sim::View view : {sim::View::Bits64, sim::View::Bits32}) {
            sim::AddKey(view, L"SOFTWARE\\Velorantix\\Agent");
            sim::AddKey(view, L"Software\\Policies\\Velorantix");
        }
        machine.stdoutIsConsole = console;
        machine.stderrIsConsole = console;
        if (stdoutFails) machine.stdoutWrites.failingCalls = sim::kEveryCall;
        if (stderrFails) machine.stderrWrites.failingCalls = sim::kEveryCall;
        Outcome outcome;
        outcome.exitCode = host_test::RunProgram({L"-u", L"-r"});
        outcome.launches = machine.launchedParameters;
        outcome.keysLeft = sim::HasKey(sim::View::Bits64, L"SOFTWARE\\Velorantix") ||
                           sim::HasKey(sim::View::Bits32, L"SOFTWARE\\Velorantix") ||
                           sim::HasKey(sim::View::Bits64, L"Software\\Policies\\Velorantix") ||
                           sim::HasKey(sim::View::Bits32, L"Software\\Policies\\Velorantix");
        outcome.restartRequested = machine.restartRequested;
        outcome.stdoutFile = machine.stdoutFile;
        outcome.stderrFile = machine.stderrFile;
        outcome.stdoutUnits = machine.stdoutUnits;
        outcome.stderrUnits = machine.stderrUnits;
        outcome.stdoutCalls = machine.stdoutWrites.offered.size();
        outcome.stderrCalls = machine.stderrWrites.offered.size();
        EXPECT_EQ(stdoutFails ? outcome.stdoutCalls : 0u, machine.stdoutWrites.failed);
        EXPECT_EQ(stderrFails ? outcome.stderrCalls : 0u, machine.stderrWrites.failed);
        return outcome;
    };
    struct Failing {
        const char* what;
        bool stdoutFails, stderrFails;
    };
    const Failing failings[] = {{"standard output fails", true, false},
                                {"standard error fails", false, true},
                                {"both fail", true, true}};
    for (const Products& products : productSets) {
        for (const bool console : {false, true}) {
            const Outcome working = run(products, console, false, false);
            EXPECT_EQ(products.exitCode, working.exitCode);
            EXPECT_EQ(products.exitCode == 3, !working.keysLeft);
            EXPECT_EQ(products.exitCode == 3, working.restartRequested);
            ASSERT_GT(working.stdoutCalls, 0u);
            ASSERT_EQ(products.exitCode == 2, working.stderrCalls > 0);
            for (const Failing& failing : failings) {
                SCOPED_TRACE(std::string(products.what) + ", " + (console ? "console, " : "file, ") + failing.what);
                const Outcome failed = run(products, console, failing.stdoutFails, failing.stderrFails);
                EXPECT_EQ(working.exitCode, failed.exitCode);
                EXPECT_EQ(working.launches, failed.launches) << "every removal runs, in order";
                EXPECT_EQ(working.keysLeft, failed.keysLeft);
                EXPECT_EQ(working.restartRequested, failed.restartRequested);
                // At most one call for each flush that had something to write.
                if (failing.stdoutFails) {
                    EXPECT_LE(failed.stdoutCalls, working.stdoutCalls);
                    EXPECT_GT(failed.stdoutCalls, 0u);
                    EXPECT_EQ("", failed.stdoutFile);
                    EXPECT_EQ(L"", failed.stdoutUnits);
                } else {
                    EXPECT_EQ(working.stdoutFile, failed.stdoutFile) << "the other stream is whole";
                    EXPECT_TRUE(working.stdoutUnits == failed.stdoutUnits) << "the other stream is whole";
                }
                if (failing.stderrFails) {
                    EXPECT_LE(failed.stderrCalls, working.stderrCalls);
                    EXPECT_EQ(working.stderrCalls > 0, failed.stderrCalls > 0);
                } else {
                    EXPECT_EQ(working.stderrFile, failed.stderrFile) << "the other stream is whole";
                    EXPECT_TRUE(working.stderrUnits == failed.stderrUnits) << "the other stream is whole";
                }
            }
        }
    }
}

} // namespace

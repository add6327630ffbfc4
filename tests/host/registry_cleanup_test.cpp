// Deleting the maker's registry keys in both views: the calls of each pass,
// what is deleted and what is left, and the warnings.
#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "run_helpers.h"
#include "uninstall/console.h"
#include "uninstall/registry_cleanup.h"

namespace {

using sim::View;

constexpr wchar_t kMain[] = L"SOFTWARE\\Velorantix";
constexpr wchar_t kPolicies[] = L"Software\\Policies\\Velorantix";
// The simulated registry keeps its key names in lower case.
constexpr wchar_t kMainLower[] = L"software\\velorantix";
constexpr wchar_t kPoliciesLower[] = L"software\\policies\\velorantix";

std::vector<std::string> RegistryCalls() { return host_test::CallsStartingWith({"Reg"}); }

// Both keys with a subkey each, in both views, and some neighbours whose
// names come close.
void InstallKeys() {
    for (View view : {View::Bits64, View::Bits32}) {
        sim::AddKey(view, L"SOFTWARE\\Velorantix\\Agent\\Settings");
        sim::AddKey(view, L"SOFTWARE\\Velorantix\\Updater");
        sim::AddKey(view, L"Software\\Policies\\Velorantix\\Agent");
        sim::AddKey(view, L"SOFTWARE\\VelorantixOther\\Data");
        sim::AddKey(view, L"SOFTWARE\\Other\\Velorantix");
        sim::AddKey(view, L"Software\\Policies\\VelorantixOther");
    }
}

void ExpectNeighboursKept() {
    for (View view : {View::Bits64, View::Bits32}) {
        EXPECT_TRUE(sim::HasKey(view, L"SOFTWARE\\VelorantixOther\\Data"));
        EXPECT_TRUE(sim::HasKey(view, L"SOFTWARE\\Other\\Velorantix"));
        EXPECT_TRUE(sim::HasKey(view, L"Software\\Policies\\VelorantixOther"));
        EXPECT_TRUE(sim::HasKey(view, L"Software\\Policies"));
    }
}

class RegistryCleanUp : public ::testing::Test {
protected:
    void SetUp() override {
        host_test::FreshProcess();
        vx::SetUpConsoleStreams();
    }

    static void CleanUp() {
        vx::CleanUpRegistry();
        std::wcout.flush();
    }

    sim::State& machine = sim::Current();
};

TEST_F(RegistryCleanUp, FourPassesEachOpenEmptyCloseAndDeleteInTheirOwnView) {
    InstallKeys();

    CleanUp();

    EXPECT_EQ((std::vector<std::string>{
                  R"(RegOpenKeyExW(HKLM, "SOFTWARE\Velorantix", 0, 0x2011f))",
                  R"(RegDeleteTreeW(key#1, null))",
                  R"(RegCloseKey(key#1))",
                  R"(RegDeleteKeyExW(HKLM, "SOFTWARE\Velorantix", 0x100, 0))",
                  R"(RegOpenKeyExW(HKLM, "SOFTWARE\Velorantix", 0, 0x2021f))",
                  R"(RegDeleteTreeW(key#2, null))",
                  R"(RegCloseKey(key#2))",
                  R"(RegDeleteKeyExW(HKLM, "SOFTWARE\Velorantix", 0x200, 0))",
                  R"(RegOpenKeyExW(HKLM, "Software\Policies\Velorantix", 0, 0x2011f))",
                  R"(RegDeleteTreeW(key#3, null))",
                  R"(RegCloseKey(key#3))",
                  R"(RegDeleteKeyExW(HKLM, "Software\Policies\Velorantix", 0x100, 0))",
                  R"(RegOpenKeyExW(HKLM, "Software\Policies\Velorantix", 0, 0x2021f))",
                  R"(RegDeleteTreeW(key#4, null))",
                  R"(RegCloseKey(key#4))",
                  R"(RegDeleteKeyExW(HKLM, "Software\Policies\Velorantix", 0x200, 0))",
              }),
              RegistryCalls());
    for (View view : {View::Bits64, View::Bits32}) {
        EXPECT_FALSE(sim::HasKey(view, kMain));
        EXPECT_FALSE(sim::HasKey(view, L"SOFTWARE\\Velorantix\\Agent\\Settings"));
        EXPECT_FALSE(sim::HasKey(view, kPolicies));
        EXPECT_FALSE(sim::HasKey(view, L"Software\\Policies\\Velorantix\\Agent"));
    }
    ExpectNeighboursKept();
    EXPECT_EQ("", machine.stdoutBytes);
    EXPECT_EQ("", machine.stderrBytes);
}

TEST_F(RegistryCleanUp, KeysInEitherViewOrNoneAreDeletedSilently) {
    struct Placement {
        const char* what;
        bool in64, in32;
    };
    const Placement placements[] = {
        {"both views", true, true},
        {"64-bit view only", true, false},
        {"32-bit view only", false, true},
        {"neither view", false, false},
    };
    for (const Placement& item : placements) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        for (const wchar_t* path : {L"SOFTWARE\\Velorantix\\Agent", L"Software\\Policies\\Velorantix\\Agent"}) {
            if (item.in64) sim::AddKey(View::Bits64, path);
            if (item.in32) sim::AddKey(View::Bits32, path);
        }

        CleanUp();

        for (View view : {View::Bits64, View::Bits32}) {
            EXPECT_FALSE(sim::HasKey(view, kMain));
            EXPECT_FALSE(sim::HasKey(view, kPolicies));
        }
        EXPECT_EQ(4u, host_test::CallsStartingWith({"RegOpenKeyExW"}).size()) << "every pass runs";
        // A pass whose key is missing ends at its open.
        const std::size_t present = (item.in64 ? 2u : 0u) + (item.in32 ? 2u : 0u);
        EXPECT_EQ(present, host_test::CallsStartingWith({"RegDeleteKeyExW"}).size());
        EXPECT_EQ(present, host_test::CallsStartingWith({"RegCloseKey"}).size());
        EXPECT_EQ("", machine.stdoutBytes);
    }
}

struct FailureCase {
    const char* what;
    void (*arrange)(sim::State&);
    const char* warnings;
    void (*check)(sim::State&);
};

const FailureCase kFailures[] = {
    {"every open refused",
     [](sim::State& m) {
         for (View view : {View::Bits64, View::Bits32}) {
             m.openFailures[{view, kMainLower}] = sim::kErrorAccessDenied;
             m.openFailures[{view, kPoliciesLower}] = sim::kErrorAccessDenied;
         }
     },
     "Warning: cannot remove Velorantix registry key [SOFTWARE\\Velorantix].Error code : 5\n"
     "Warning: cannot remove 32-bit Velorantix registry key [SOFTWARE\\Velorantix]. Error code: 5\n"
     "Warning: cannot remove Velorantix registry key [Software\\Policies\\Velorantix].Error code : 5\n"
     "Warning: cannot remove 32-bit Velorantix registry key [Software\\Policies\\Velorantix]. Error code: 5\n",
     [](sim::State& m) {
         EXPECT_EQ(4u, host_test::CallsStartingWith({"Reg"}).size()) << "no handle, nothing to close";
         for (View view : {View::Bits64, View::Bits32}) {
             EXPECT_TRUE(sim::HasKey(view, L"SOFTWARE\\Velorantix\\Agent\\Settings"));
             EXPECT_TRUE(sim::HasKey(view, L"Software\\Policies\\Velorantix\\Agent"));
         }
         (void)m;
     }},
    {"emptying fails in the 64-bit view",
     [](sim::State& m) { m.emptyFailures[{View::Bits64, kMainLower}] = sim::kErrorAccessDenied; },
     "Warning: cannot remove Velorantix registry key [SOFTWARE\\Velorantix].Error code : 5\n",
     [](sim::State&) {
         EXPECT_TRUE(sim::HasKey(View::Bits64, L"SOFTWARE\\Velorantix\\Agent\\Settings"));
         EXPECT_FALSE(sim::HasKey(View::Bits32, kMain)) << "the other view's pass still runs";
         EXPECT_FALSE(sim::HasKey(View::Bits64, kPolicies));
         const std::vector<std::string> calls = host_test::CallsStartingWith({"Reg"});
         ASSERT_GE(calls.size(), 4u);
         EXPECT_EQ("RegCloseKey(key#1)", calls[2]) << "the handle is still closed";
         EXPECT_EQ(R"(RegOpenKeyExW(HKLM, "SOFTWARE\Velorantix", 0, 0x2021f))", calls[3])
             << "the key itself is not deleted";
     }},
    {"emptying fails in the 32-bit view with a negative code",
     [](sim::State& m) { m.emptyFailures[{View::Bits32, kPoliciesLower}] = -1; },
     "Warning: cannot remove 32-bit Velorantix registry key [Software\\Policies\\Velorantix]. Error code: -1\n",
     [](sim::State&) {
         EXPECT_TRUE(sim::HasKey(View::Bits32, L"Software\\Policies\\Velorantix\\Agent"));
         EXPECT_FALSE(sim::HasKey(View::Bits64, kPolicies));
         EXPECT_EQ("RegCloseKey(key#4)", host_test::CallsStartingWith({"Reg"}).back());
     }},
    {"final deletion fails",
     [](sim::State& m) { m.deleteFailures[{View::Bits64, kPoliciesLower}] = 1018; },
     "Warning: cannot remove Velorantix registry key [Software\\Policies\\Velorantix].Error code : 1018\n",
     [](sim::State&) {
         EXPECT_TRUE(sim::HasKey(View::Bits64, kPolicies)) << "the empty key stays";
         EXPECT_FALSE(sim::HasKey(View::Bits64, L"Software\\Policies\\Velorantix\\Agent"));
         EXPECT_FALSE(sim::HasKey(View::Bits32, kPolicies));
     }},
    {"open fails with the most negative code",
     [](sim::State& m) { m.openFailures[{View::Bits32, kMainLower}] = INT_MIN; },
     "Warning: cannot remove 32-bit Velorantix registry key [SOFTWARE\\Velorantix]. Error code: -2147483648\n",
     [](sim::State&) { EXPECT_TRUE(sim::HasKey(View::Bits32, L"SOFTWARE\\Velorantix\\Agent\\Settings")); }},
    {"open fails in the 64-bit view with a negative code",
     [](sim::State& m) { m.openFailures[{View::Bits64, kPoliciesLower}] = -5; },
     "Warning: cannot remove Velorantix registry key [Software\\Policies\\Velorantix].Error code : -5\n",
     [](sim::State&) { EXPECT_FALSE(sim::HasKey(View::Bits32, kPolicies)); }},
    {"a step that reports the key missing is silent",
     [](sim::State& m) {
         m.emptyFailures[{View::Bits64, kMainLower}] = 2;
         m.deleteFailures[{View::Bits32, kPoliciesLower}] = 2;
     },
     "", [](sim::State&) {}},
};

TEST_F(RegistryCleanUp, EachFailedPassWarnsOnStandardOutputAndTheOthersStillRun) {
    for (const FailureCase& item : kFailures) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        InstallKeys();
        item.arrange(machine);

        CleanUp();

        EXPECT_EQ(item.warnings, machine.stdoutBytes);
        EXPECT_EQ("", machine.stderrBytes);
        EXPECT_EQ(4u, host_test::CallsStartingWith({"RegOpenKeyExW"}).size());
        EXPECT_EQ(host_test::CallsStartingWith({"RegDeleteTreeW"}).size(),
                  host_test::CallsStartingWith({"RegCloseKey"}).size())
            << "every opened key is closed";
        item.check(machine);
        ExpectNeighboursKept();
    }
}

TEST_F(RegistryCleanUp, OnePassReturnsTheFirstFailingStepsCode) {
    struct PassCase {
        const char* what;
        void (*arrange)(sim::State&);
        std::int32_t result;
    };
    const PassCase cases[] = {
        {"everything works", [](sim::State&) {}, 0},
        {"key missing", [](sim::State& m) { m.keys.clear(); }, 2},
        {"open refused", [](sim::State& m) { m.openFailures[{View::Bits32, kMainLower}] = 5; }, 5},
        {"emptying fails", [](sim::State& m) { m.emptyFailures[{View::Bits32, kMainLower}] = 1021; }, 1021},
        {"deletion fails", [](sim::State& m) { m.deleteFailures[{View::Bits32, kMainLower}] = -7; }, -7},
    };
    for (const PassCase& item : cases) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        InstallKeys();
        item.arrange(machine);

        EXPECT_EQ(item.result, vx::DeleteRegistryTree(platform::LocalMachine(), kMain, platform::kKeyWow64_32Key));

        if (item.result != 2)
            EXPECT_TRUE(sim::HasKey(View::Bits64, L"SOFTWARE\\Velorantix\\Agent\\Settings"))
                << "the other view is untouched";
        std::wcout.flush();
        EXPECT_EQ("", machine.stdoutBytes) << "a pass prints nothing";
    }
}

// Runs through the whole program, one product per exit code.
int RunWith(const std::vector<std::uint32_t>& exitCodes) {
    sim::State& machine = sim::Current();
    for (std::size_t i = 0; i < exitCodes.size(); ++i) {
        const std::wstring code = L"{" + std::to_wstring(i) + L"}";
        machine.products.push_back({code, {L"Velorantix " + std::to_wstring(i)}, {L""}});
        machine.launches[code].exitCode = exitCodes[i];
    }
    return host_test::RunProgram({L"-u"});
}

TEST_F(RegistryCleanUp, ARunWithAnyFailedRemovalMakesNoRegistryCallAtAll) {
    const std::vector<std::uint32_t> runs[] = {{1603}, {1603, 1603}, {0, 1603}, {1603, 3010}, {3010, 1603, 0}};
    const int expectedCodes[] = {1, 1, 2, 4, 4};
    for (std::size_t i = 0; i < std::size(runs); ++i) {
        SCOPED_TRACE(i);
        host_test::FreshProcess();
        InstallKeys();

        EXPECT_EQ(expectedCodes[i], RunWith(runs[i]));

        EXPECT_TRUE(RegistryCalls().empty());
        for (View view : {View::Bits64, View::Bits32}) {
            EXPECT_TRUE(sim::HasKey(view, L"SOFTWARE\\Velorantix\\Agent\\Settings"));
            EXPECT_TRUE(sim::HasKey(view, L"Software\\Policies\\Velorantix\\Agent"));
        }
        EXPECT_EQ(std::string::npos, host_test::Out().find("Warning"));
    }
}

TEST_F(RegistryCleanUp, WarningsLeaveTheExitCodeAndComeBeforeTheRestartMessage) {
    const std::string warnings =
        "Warning: cannot remove Velorantix registry key [SOFTWARE\\Velorantix].Error code : 5\n"
        "Warning: cannot remove 32-bit Velorantix registry key [SOFTWARE\\Velorantix]. Error code: 5\n"
        "Warning: cannot remove Velorantix registry key [Software\\Policies\\Velorantix].Error code : 5\n"
        "Warning: cannot remove 32-bit Velorantix registry key [Software\\Policies\\Velorantix]. Error code: 5\n";
    struct Case {
        std::vector<std::uint32_t> exitCodes;
        int exitCode;
        std::string ending;
    };
    const Case cases[] = {
        {{0}, 0, "Uninstalling: Velorantix 0 ... success\n" + warnings},
        {{0, 3010}, 3,
         "Uninstalling: Velorantix 0 ... success\nUninstalling: Velorantix 1 ... success (reboot required)\n" +
             warnings + "System restart required. Please reboot manually.\n"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.exitCode);
        host_test::FreshProcess();
        for (View view : {View::Bits64, View::Bits32}) {
            machine.openFailures[{view, kMainLower}] = 5;
            machine.openFailures[{view, kPoliciesLower}] = 5;
        }

        EXPECT_EQ(item.exitCode, RunWith(item.exitCodes));

        const std::string& out = host_test::Out();
        ASSERT_GE(out.size(), item.ending.size());
        EXPECT_EQ(item.ending, out.substr(out.size() - item.ending.size()));
    }
}

// Warnings that cannot be written do not stop the clean-up: every pass
// still runs, and the flush of the warnings costs one failed write.
TEST_F(RegistryCleanUp, WarningsThatCannotBeWrittenLeaveEveryPassToRun) {
    for (const bool console : {false, true}) {
        SCOPED_TRACE(console ? "console" : "file");
        host_test::FreshProcess();
        machine.stdoutIsConsole = console;
        machine.stdoutWrites.failingCalls = sim::kEveryCall;
        InstallKeys();
        machine.openFailures[{View::Bits64, kMainLower}] = sim::kErrorAccessDenied;
        machine.emptyFailures[{View::Bits32, kMainLower}] = sim::kErrorAccessDenied;
        machine.deleteFailures[{View::Bits64, kPoliciesLower}] = sim::kErrorAccessDenied;

        CleanUp();

        EXPECT_EQ(4u, host_test::CallsStartingWith({"RegOpenKeyExW"}).size());
        EXPECT_EQ(2u, host_test::CallsStartingWith({"RegDeleteKeyExW"}).size());
        EXPECT_TRUE(sim::HasKey(View::Bits64, kMain));
        EXPECT_FALSE(sim::HasKey(View::Bits32, kPolicies));
        EXPECT_EQ(1u, machine.stdoutWrites.failed) << "the three warnings are flushed together";
        EXPECT_EQ(1u, machine.stdoutWrites.offered.size());
    }
}

} // namespace

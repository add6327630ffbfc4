// Removing one product: the installer tool's command line, the calls around
// it, and how each exit code is reported.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "run_helpers.h"
#include "uninstall/console.h"
#include "uninstall/uninstall_product.h"

namespace {

using host_test::IndexOf;
using host_test::Transcript;

constexpr wchar_t kCode[] = L"{6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B}";
constexpr wchar_t kName[] = L"Velorantix Agent";

std::vector<std::string> ProcessCalls() {
    return host_test::CallsStartingWith(
        {"GetSystemDirectoryW", "ShellExecuteExW", "WaitForSingleObject", "GetExitCodeProcess", "CloseHandle"});
}

// Index of the first output write in the call log, or the log's size.
std::size_t FirstWrite() {
    const std::vector<std::string>& calls = sim::Current().calls;
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind("stdout ", 0) == 0 || calls[i].rfind("stderr ", 0) == 0) return i;
    return calls.size();
}



class RemoveOne : public ::testing::Test {
protected:
    void SetUp() override {
        host_test::FreshProcess();
        vx::SetUpConsoleStreams();
    }

    static bool Remove(const std::wstring& code, const std::wstring& name, std::int32_t* restart) {
        const bool removed = vx::UninstallProduct(code, name, restart);
        std::wcout.flush();
        return removed;
    }

    sim::State& machine = sim::Current();
};

TEST_F(RemoveOne, StartsTheInstallerToolHiddenWaitsReadsTheCodeAndClosesTheProcess) {
    std::int32_t restart = 0;
    EXPECT_TRUE(Remove(kCode, kName, &restart));

    EXPECT_EQ((std::vector<std::string>{
                  "GetSystemDirectoryW(260)",
                  "ShellExecuteExW(mask=0x40, hwnd=null, verb=\"open\", file=\"C:\\windows\\system32\\msiexec.exe\", "
                  "parameters=\"/x {6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B} /qn /norestart OPEN_URL=\"0\"\", "
                  "directory=null, show=0)",
                  "WaitForSingleObject(process#1, 0xffffffff)",
                  "GetExitCodeProcess(process#1, preset 1)",
                  "CloseHandle(process#1)",
              }),
              ProcessCalls());
    ASSERT_EQ(1u, machine.launchedParameters.size());
    EXPECT_EQ(L"/x {6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B} /qn /norestart OPEN_URL=\"0\"",
              machine.launchedParameters[0]);
    EXPECT_EQ(69u, machine.launchedParameters[0].size());
}

struct ExitCase {
    const char* what;
    std::uint32_t exitCode;
    bool queryFails;
    const char* out;
    const char* err;
    bool removed;
    bool raisesRestart;
};

const ExitCase kExitCases[] = {
    {"success", 0, false, "success\n", "", true, false},
    {"success, restart needed", 3010, false, "success (reboot required)\n", "", true, true},
    {"restart already started by the tool", 1641, false, "", "failed (1641)\n", false, false},
    {"fatal error", 1603, false, "", "failed (1603)\n", false, false},
    {"all bits set", 4294967295u, false, "", "failed (4294967295)\n", false, false},
    {"top bit set", 2147483648u, false, "", "failed (2147483648)\n", false, false},
    {"one", 1, false, "", "failed (1)\n", false, false},
    {"query fails", 0, true, "", "failed (1)\n", false, false},
    {"query fails although the tool ended with 3010", 3010, true, "", "failed (1)\n", false, false},
};

TEST_F(RemoveOne, EachExitCodeGivesItsTextStreamResultAndRestartIndicator) {
    for (const ExitCase& item : kExitCases) {
        // The indicator starts clear, set, or holding some other value; it
        // only ever receives 1, and only on 3010.
        for (const std::int32_t before : {0, 1, 7}) {
            SCOPED_TRACE(std::string(item.what) + ", indicator before " + std::to_string(before));
            host_test::FreshProcess();
            machine.launches[kCode] = sim::Launch{false, item.exitCode, item.queryFails};
            std::int32_t restart = before;

            EXPECT_EQ(item.removed, Remove(kCode, kName, &restart));

            EXPECT_EQ(item.out, machine.stdoutBytes);
            EXPECT_EQ(item.err, machine.stderrBytes);
            EXPECT_EQ(item.raisesRestart ? 1 : before, restart);
            EXPECT_EQ("GetExitCodeProcess(process#1, preset 1)", ProcessCalls().at(3));
            EXPECT_LT(IndexOf("CloseHandle(process#1)"), FirstWrite()) << "the handle is closed before any text";
        }
    }
}

TEST_F(RemoveOne, ANullRestartIndicatorIsAllowed) {
    for (const ExitCase& item : kExitCases) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        machine.launches[kCode] = sim::Launch{false, item.exitCode, item.queryFails};

        EXPECT_EQ(item.removed, Remove(kCode, kName, nullptr));

        EXPECT_EQ(item.out, machine.stdoutBytes);
        EXPECT_EQ(item.err, machine.stderrBytes);
    }
}

struct NameCase {
    const char* what;
    std::wstring name;
    std::string written;
};

TEST_F(RemoveOne, ARefusedLaunchNamesTheProductOnStandardErrorAndWaitsForNothing) {
    const std::string longName = "Velorantix " + std::string(244, 'n');
    const NameCase cases[] = {
        {"plain name", kName, "Velorantix Agent"},
        {"empty name", L"", ""},
        {"placeholder name", L"(unknown)", "(unknown)"},
        {"255 characters", std::wstring(longName.begin(), longName.end()), longName},
        {"non-ASCII name",
         L"Velorantix B\x00fcro \x65e5\x672c \xD83D\xDE00",
         "Velorantix B\xC3\xBCro \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
    };
    for (const NameCase& item : cases) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        machine.launches[kCode].refused = true;
        std::int32_t restart = 7;

        EXPECT_FALSE(Remove(kCode, item.name, &restart));

        EXPECT_EQ("Failed to launch msiexec for " + item.written + "\n", machine.stderrBytes);
        EXPECT_EQ("", machine.stdoutBytes);
        EXPECT_EQ(7, restart);
        const std::vector<std::string> calls = ProcessCalls();
        ASSERT_EQ(2u, calls.size()) << "no wait, no exit-code query, no close";
        EXPECT_EQ(0u, calls[1].rfind("ShellExecuteExW(", 0));
        EXPECT_EQ(0u, host_test::CallsStartingWith({"GetLastError"}).size());
    }
}

TEST_F(RemoveOne, TheToolIsStartedByItsFullPathInTheSystemDirectoryOrNotAtAll) {
    // GetSystemDirectoryW gets room for 260 characters with the terminator;
    // for a longer path it answers the room it would need, 0 when it fails.
    struct DirectoryCase {
        const char* what;
        std::wstring directory;
        bool unreadable;
        std::string file; // handed to ShellExecuteExW; empty: nothing is started
    };
    const std::string longest = "C:\\" + std::string(256, 'd'); // 259 characters
    const DirectoryCase cases[] = {
        {"the usual place", L"C:\\windows\\system32", false, "C:\\windows\\system32\\msiexec.exe"},
        {"another drive and case", L"D:\\WINNT\\System32", false, "D:\\WINNT\\System32\\msiexec.exe"},
        {"non-ASCII directory", L"C:\\Fen\x00eatres\\\x7cfb\x7edf", false,
         "C:\\Fen\xC3\xAAtres\\\xE7\xB3\xBB\xE7\xBB\x9F\\msiexec.exe"},
        {"259 characters, the longest that fits", std::wstring(longest.begin(), longest.end()), false,
         longest + "\\msiexec.exe"},
        {"unreadable", L"C:\\windows\\system32", true, ""},
        {"260 characters, one too many", L"C:\\" + std::wstring(257, L'd'), false, ""},
        {"far too long", L"C:\\" + std::wstring(2000, L'd'), false, ""},
    };
    for (const DirectoryCase& item : cases) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        machine.systemDirectory = item.directory;
        machine.systemDirectoryFails = item.unreadable;
        std::int32_t restart = 7;

        const bool removed = Remove(kCode, kName, &restart);

        const std::vector<std::string> calls = ProcessCalls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("GetSystemDirectoryW(260)", calls[0]);
        if (!item.file.empty()) {
            EXPECT_TRUE(removed);
            ASSERT_EQ(5u, calls.size());
            EXPECT_NE(std::string::npos, calls[1].find(", file=\"" + item.file + "\", parameters="))
                << calls[1];
            EXPECT_EQ("success\n", machine.stdoutBytes);
            EXPECT_EQ("", machine.stderrBytes);
        } else {
            EXPECT_FALSE(removed);
            EXPECT_EQ(1u, calls.size()) << "nothing is started, waited for or closed";
            EXPECT_EQ("", machine.stdoutBytes);
            EXPECT_EQ("Failed to launch msiexec for Velorantix Agent\n", machine.stderrBytes);
            EXPECT_TRUE(machine.launchedParameters.empty());
            EXPECT_EQ(0u, host_test::CallsStartingWith({"GetLastError"}).size());
        }
        EXPECT_EQ(7, restart);
    }
}

TEST_F(RemoveOne, TheProductCodeGoesIntoTheParametersVerbatim) {
    struct CodeCase {
        const char* what;
        std::wstring code;
        std::wstring parameters;
    };
    const CodeCase cases[] = {
        {"code with blanks", L"{A} extra words", L"/x {A} extra words /qn /norestart OPEN_URL=\"0\""},
        {"empty code", L"", L"/x  /qn /norestart OPEN_URL=\"0\""},
        {"code with quotes", L"\"{A}\"", L"/x \"{A}\" /qn /norestart OPEN_URL=\"0\""},
        {"code with surrounding blanks", L" {A} ", L"/x  {A}  /qn /norestart OPEN_URL=\"0\""},
    };
    for (const CodeCase& item : cases) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        machine.launches[item.code].exitCode = 1603;

        EXPECT_FALSE(Remove(item.code, kName, nullptr));

        ASSERT_EQ(1u, machine.launchedParameters.size());
        EXPECT_EQ(item.parameters, machine.launchedParameters[0]);
        EXPECT_EQ("failed (1603)\n", machine.stderrBytes) << "whatever the tool returns is reported";
    }
}

TEST_F(RemoveOne, AFailureTextCompletesTheProgressLineAlreadyPendingOnStandardOutput) {
    machine.launches[kCode].exitCode = 1603;

    std::wcout << L"Uninstalling: " << kName << L" ... ";
    EXPECT_FALSE(Remove(kCode, kName, nullptr));

    EXPECT_EQ("Uninstalling: Velorantix Agent ... failed (1603)\n", Transcript());
}

TEST_F(RemoveOne, RemovalsOneAfterTheOtherEachGetTheirOwnProcess) {
    machine.launches[L"{B}"].exitCode = 3010;
    std::int32_t first = 0, second = 0;

    EXPECT_TRUE(Remove(L"{A}", L"A", &first));
    EXPECT_TRUE(Remove(L"{B}", L"B", &second));

    EXPECT_EQ(0, first);
    EXPECT_EQ(1, second);
    EXPECT_EQ("success\nsuccess (reboot required)\n", machine.stdoutBytes);
    EXPECT_EQ((std::vector<std::string>{"WaitForSingleObject(process#1, 0xffffffff)",
                                        "CloseHandle(process#1)",
                                        "WaitForSingleObject(process#2, 0xffffffff)",
                                        "CloseHandle(process#2)"}),
              host_test::CallsStartingWith({"WaitForSingleObject", "CloseHandle"}));
}

} // namespace

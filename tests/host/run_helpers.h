// Running the program's entry point against the simulated Windows.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/simulated/simulated.h"

int wmain(int argc, wchar_t** argv);

namespace host_test {

// Starts from a fresh simulated machine and a fresh process state (option
// scanner, console device).
void FreshProcess();

// Calls wmain with the program path and `arguments`; returns the exit code.
int RunProgram(std::initializer_list<const wchar_t*> arguments);
int RunProgram(const std::vector<std::wstring>& arguments);

// Standard output and standard error as written to a file (UTF-8), read
// back with each CR LF as a line feed, as the program's texts are written.
const std::string& Out();
const std::string& Err();

// The calls whose log line starts with one of `prefixes`, in order.
std::vector<std::string> CallsStartingWith(std::initializer_list<const char*> prefixes);

// Index in the call log of the `nth` call (from 0) that starts with
// `prefix`; the log's size when there is none.
std::size_t IndexOf(const std::string& prefix, std::size_t nth = 0);

// Both output streams as a console would show them, in the order of the
// writes, from the calls before index `end` of the log, or from all.
std::string TranscriptBefore(std::size_t end);
std::string Transcript();

// Whether every line feed in file bytes comes as CR LF, and no CR is doubled.
bool LineEndsAreCrLf(const std::string& bytes);

// The program's own texts.
constexpr char kBanner[] =
    "Velorantix Product Uninstaller v1.0\n"
    "Copyright (c) 2026 Velorantix. All rights reserved.\n";
constexpr char kProceedPrompt[] = "Press any key to proceed with uninstallation.\n";
constexpr char kRebootPrompt[] = "\nPress any key to reboot.\n";
constexpr char kExitPrompt[] = "\nPress any key to exit.\n";
constexpr char kNotPossible[] = "Automatic System reboot is not possible. Please restart manually.\n";
constexpr char kRestartMessage[] = "System restart required. Please reboot manually.\n";

} // namespace host_test

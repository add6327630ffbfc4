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

// Standard output and standard error as written to a file (UTF-8).
const std::string& Out();
const std::string& Err();

// The calls whose log line starts with one of `prefixes`, in order.
std::vector<std::string> CallsStartingWith(std::initializer_list<const char*> prefixes);

} // namespace host_test

// A small simulated Windows behind the platform seam, for host tests.
//
// A test fills the state (installed products, launch outcomes, registry keys,
// token behaviour, console input), runs the logic, and then reads what the
// logic did: every platform call is logged, in order, as one line with its
// arguments, and the text written to standard output and standard error is
// kept. Handles are named in the log ("process#1", "key#2", "token#1",
// "CONIN$", "stdin").
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace sim {

constexpr std::uint32_t kErrorNoMoreItems = 259;
constexpr std::uint32_t kErrorMoreData = 234;
constexpr std::uint32_t kErrorUnknownProperty = 1608;
constexpr std::uint32_t kErrorNotAllAssigned = 1300;
constexpr std::int32_t kErrorAccessDenied = 5;

// One property of a product: its value, or the non-zero result of a query
// that fails. A value that does not fit the caller's buffer fails with
// ERROR_MORE_DATA, as on Windows.
struct Property {
    std::wstring value;
    std::uint32_t failure = 0;
};

struct Product {
    std::wstring code;
    Property name;
    Property publisher;
};

// What happens when the installer tool is started for one product code.
struct Launch {
    bool refused = false;
    std::uint32_t exitCode = 0;
    bool exitCodeQueryFails = false;
};

enum class View { Bits64, Bits32 };

// A registry key in one view, path in lower case.
using KeyName = std::pair<View, std::wstring>;

// How one standard output handle takes writes, through WriteConsoleW and
// WriteFile alike.
struct WriteBehaviour {
    // A call takes at most this many units (console) or bytes (file) and
    // reports that many written; 0 takes the whole call.
    std::uint32_t takesAtMost = 0;
    // The next this many calls fail and take nothing, as on a closed pipe or
    // a console that is gone. Kept finite, so that a writer that retries for
    // ever ends its test with the calls counted instead of hanging it.
    std::uint32_t failingCalls = 0;
    // The length that each call offered, in order, and how many failed.
    std::vector<std::uint32_t> offered;
    std::uint32_t failed = 0;
};
constexpr std::uint32_t kEveryCall = 100000; // failingCalls for a stream that never works

struct State {
    // ---- Windows Installer
    std::vector<Product> products;
    // The enumeration answers this (instead of 0) at `enumerationFailsAt`.
    std::uint32_t enumerationFailsAt = UINT32_MAX;
    std::uint32_t enumerationFailure = 1610;
    // Written back into the length by every query, whatever it returns;
    // 0 writes back the value's length as Windows does.
    std::uint32_t lengthWrittenBack = 0;

    // ---- Installer tool, by the product code found in the parameters.
    std::map<std::wstring, Launch> launches; // missing: exit code 0
    std::vector<std::wstring> launchedParameters;
    // What GetSystemDirectoryW reports; it fails (returns 0) when told to.
    std::wstring systemDirectory = L"C:\\windows\\system32";
    bool systemDirectoryFails = false;

    // ---- Registry
    std::set<KeyName> keys;                          // existing keys, with every subkey
    std::map<KeyName, std::int32_t> openFailures;    // RegOpenKeyExW result
    std::map<KeyName, std::int32_t> emptyFailures;   // RegDeleteTreeW(key, null) result
    std::map<KeyName, std::int32_t> deleteFailures;  // RegDeleteKeyExW result

    // ---- Token and shutdown
    bool openTokenFails = false;
    bool lookupFails = false;
    bool adjustFails = false;
    std::uint32_t lastErrorAfterAdjust = 0;
    bool restartRefused = false;
    bool restartRequested = false;

    // ---- Console input
    bool hasConsole = true;          // CONIN$ opens
    bool stdinIsConsole = true;      // otherwise standard input is a file
    std::uint32_t consoleMode = 0x1F7;
    bool consoleModeUnreadable = false; // GetConsoleMode on the device fails
    std::deque<platform::InputRecord> typedAhead;   // waiting before the wait starts
    std::deque<platform::InputRecord> typedLater;   // arrive while the wait reads
                                                    // (NoEvent(): a read that succeeds empty)
    bool readFails = false;
    bool readWhileEmpty = false;     // a read found nothing: it would block for ever

    // ---- Console output
    bool stdoutIsConsole = false;
    bool stderrIsConsole = false;
    // A file keeps the bytes as written; stdoutBytes and the log lines show
    // them as the C runtime's text mode reads them back, each CR LF as LF.
    std::string stdoutFile, stderrFile;        // written with WriteFile, as written
    std::string stdoutBytes, stderrBytes;      // the same, CR LF read as LF
    std::wstring stdoutUnits, stderrUnits;     // written with WriteConsoleW
    WriteBehaviour stdoutWrites, stderrWrites;

    // ---- Every call, in order
    std::vector<std::string> calls;

    // Internal: named handles.
    std::map<platform::Handle, std::string> handleNames;
    std::map<platform::RegistryKey, KeyName> openKeys;
    std::map<platform::Handle, Launch> launchesByHandle;
    std::uintptr_t nextHandle = 0x1000;
    int processCount = 0, keyCount = 0, tokenCount = 0;
    std::uint32_t lastError = 0;
};

State& Current();
void Reset();

// Input records for tests.
platform::InputRecord KeyDown(wchar_t character, std::uint16_t virtualKey = 0);
platform::InputRecord KeyUp(wchar_t character, std::uint16_t virtualKey = 0);
platform::InputRecord OtherEvent(std::uint16_t eventType); // mouse 2, size 4, menu 8, focus 16
// Not an event: the read that meets it succeeds and reports no event, as
// Wine's console does for a Ctrl+C typed during the read.
platform::InputRecord NoEvent();

// UTF-8 of UTF-16 text, lone surrogates as "\uXXXX", for logs and asserts.
std::string Utf8(const std::wstring& text);

// Adds a key and every key above it.
void AddKey(View view, const std::wstring& path);
bool HasKey(View view, const std::wstring& path);

} // namespace sim

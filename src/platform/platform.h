// The seam between the uninstaller's logic and the operating system.
//
// The logic calls Windows only through these functions, so it never includes
// <windows.h>. Two implementations stand behind them:
//   src/platform/windows/    forwards each call to the real Windows function;
//   src/platform/simulated/  a small simulated Windows for host tests, which
//                            records every call with its arguments.
// Each function is named after the Windows function it stands for and takes
// the same arguments, in the same order, in types of our own. Text is UTF-16:
// on the host each wchar_t holds one UTF-16 code unit.
#pragma once

#include <cstdint>

namespace platform {

using Handle = void*;      // HANDLE
using RegistryKey = void*; // HKEY

// ---- Constants the logic passes through the seam (values as Windows has them).
constexpr std::int32_t kStdInputHandle = -10;
constexpr std::int32_t kStdOutputHandle = -11;
constexpr std::int32_t kStdErrorHandle = -12;

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileShareRead = 0x1u;
constexpr std::uint32_t kFileShareWrite = 0x2u;
constexpr std::uint32_t kOpenExisting = 3u;

constexpr std::uint32_t kSeeMaskNoCloseProcess = 0x40u;
constexpr std::int32_t kSwHide = 0;

constexpr std::uint32_t kKeyWow64_64Key = 0x100u;
constexpr std::uint32_t kKeyWow64_32Key = 0x200u;
constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;

constexpr std::uint32_t kTokenAdjustPrivileges = 0x20u;
constexpr std::uint32_t kTokenQuery = 0x08u;
constexpr std::uint32_t kSePrivilegeEnabled = 2u;
constexpr std::uint32_t kEwxReboot = 0x02u;
constexpr std::uint32_t kEwxForceIfHung = 0x10u;
constexpr std::uint32_t kShtdnReasonMajorApplication = 0x40000u;

constexpr std::uint16_t kKeyEvent = 0x0001;

Handle InvalidHandle();   // INVALID_HANDLE_VALUE
RegistryKey LocalMachine(); // HKEY_LOCAL_MACHINE

// ---- Windows Installer (msi.dll, by ordinal).
// Ordinal 45: writes the product code of the product at `index` into
// `productCode` (room for 40 characters); 0 while a product exists there.
std::uint32_t MsiEnumProductsW(std::uint32_t index, wchar_t* productCode);
// Ordinal 70: reads one property of a product into `value`; `length` holds
// the room in characters on the way in.
std::uint32_t MsiGetProductInfoW(const wchar_t* product, const wchar_t* property, wchar_t* value,
                                 std::uint32_t* length);

// ---- Starting and waiting for a process.
// The fields of SHELLEXECUTEINFOW that the logic fills; every other field of
// the Windows record is zero, and cbSize is its size.
struct ShellExecuteRecord {
    std::uint32_t mask;
    Handle window;
    const wchar_t* verb;
    const wchar_t* file;
    const wchar_t* parameters;
    const wchar_t* directory;
    std::int32_t show;
    Handle process; // filled in by the launch
};
bool ShellExecuteExW(ShellExecuteRecord* record);
// Writes the system directory into `buffer` (room for `size` characters,
// the terminator included) and returns its length; when it does not fit,
// returns the room it needs, terminator included; 0 when it cannot be read.
std::uint32_t GetSystemDirectoryW(wchar_t* buffer, std::uint32_t size);
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds);
bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode);
bool CloseHandle(Handle object);

// ---- Registry.
std::int32_t RegOpenKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t options,
                           std::uint32_t access, RegistryKey* result);
std::int32_t RegDeleteTreeW(RegistryKey key, const wchar_t* path); // path may be null
std::int32_t RegDeleteKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t view,
                             std::uint32_t reserved);
std::int32_t RegCloseKey(RegistryKey key);

// ---- Process token and shutdown.
struct Luid {
    std::uint32_t lowPart;
    std::int32_t highPart;
};
// TOKEN_PRIVILEGES with room for one entry.
struct TokenPrivileges {
    std::uint32_t privilegeCount;
    Luid luid;
    std::uint32_t attributes;
};
Handle GetCurrentProcess();
bool OpenProcessToken(Handle process, std::uint32_t desiredAccess, Handle* token);
bool LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, Luid* luid);
// The previous state and its length are never asked for: both are null.
bool AdjustTokenPrivileges(Handle token, bool disableAllPrivileges, const TokenPrivileges* newState,
                           std::uint32_t bufferLength);
std::uint32_t GetLastError();
bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason);

// ---- Console.
// The fields of INPUT_RECORD that the logic reads; key fields are zero for
// events of other kinds.
struct InputRecord {
    std::uint16_t eventType;
    bool keyDown;
    std::uint16_t repeatCount;
    std::uint16_t virtualKeyCode;
    std::uint16_t virtualScanCode;
    wchar_t unicodeChar;
    std::uint32_t controlKeyState;
};
Handle GetStdHandle(std::int32_t which);
bool FlushConsoleInputBuffer(Handle input);
// CreateFileW with no security attributes, no flags and no template.
Handle CreateFileW(const wchar_t* name, std::uint32_t access, std::uint32_t share,
                   std::uint32_t disposition);
bool GetConsoleMode(Handle console, std::uint32_t* mode);
bool SetConsoleMode(Handle console, std::uint32_t mode);
// Both read at most one record.
bool ReadConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead);
bool PeekConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead);
bool WriteConsoleW(Handle output, const wchar_t* text, std::uint32_t length, std::uint32_t* written);
bool WriteFile(Handle file, const void* bytes, std::uint32_t length, std::uint32_t* written);

} // namespace platform

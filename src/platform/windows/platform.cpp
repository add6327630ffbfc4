// The seam on Windows: every function forwards to the Windows function of the
// same name, converting only between our record types and the Windows ones.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#include <msi.h>

#include "platform/platform.h"

namespace platform {

Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }
RegistryKey LocalMachine() { return HKEY_LOCAL_MACHINE; }

std::uint32_t MsiEnumProductsW(std::uint32_t index, wchar_t* productCode) {
    return ::MsiEnumProductsW(index, productCode);
}

std::uint32_t MsiGetProductInfoW(const wchar_t* product, const wchar_t* property, wchar_t* value,
                                 std::uint32_t* length) {
    DWORD room = *length;
    const UINT result = ::MsiGetProductInfoW(product, property, value, &room);
    *length = room;
    return result;
}

bool ShellExecuteExW(ShellExecuteRecord* record) {
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = record->mask;
    info.hwnd = static_cast<HWND>(record->window);
    info.lpVerb = record->verb;
    info.lpFile = record->file;
    info.lpParameters = record->parameters;
    info.lpDirectory = record->directory;
    info.nShow = record->show;
    const BOOL launched = ::ShellExecuteExW(&info);
    record->process = info.hProcess;
    return launched != FALSE;
}

std::uint32_t GetSystemDirectoryW(wchar_t* buffer, std::uint32_t size) {
    return ::GetSystemDirectoryW(buffer, size);
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}

bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) {
    DWORD code = *exitCode;
    const BOOL ok = ::GetExitCodeProcess(process, &code);
    *exitCode = code;
    return ok != FALSE;
}

bool CloseHandle(Handle object) { return ::CloseHandle(object) != FALSE; }

std::int32_t RegOpenKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t options,
                           std::uint32_t access, RegistryKey* result) {
    HKEY key = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(static_cast<HKEY>(root), path, options, access, &key);
    *result = key;
    return status;
}

std::int32_t RegDeleteTreeW(RegistryKey key, const wchar_t* path) {
    return ::RegDeleteTreeW(static_cast<HKEY>(key), path);
}

std::int32_t RegDeleteKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t view,
                             std::uint32_t reserved) {
    return ::RegDeleteKeyExW(static_cast<HKEY>(root), path, view, reserved);
}

std::int32_t RegCloseKey(RegistryKey key) { return ::RegCloseKey(static_cast<HKEY>(key)); }

Handle GetCurrentProcess() { return ::GetCurrentProcess(); }

bool OpenProcessToken(Handle process, std::uint32_t desiredAccess, Handle* token) {
    return ::OpenProcessToken(process, desiredAccess, token) != FALSE;
}

bool LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, Luid* luid) {
    LUID value{};
    const BOOL ok = ::LookupPrivilegeValueW(systemName, name, &value);
    luid->lowPart = value.LowPart;
    luid->highPart = value.HighPart;
    return ok != FALSE;
}

bool AdjustTokenPrivileges(Handle token, bool disableAllPrivileges, const TokenPrivileges* newState,
                           std::uint32_t bufferLength) {
    TOKEN_PRIVILEGES request{};
    request.PrivilegeCount = newState->privilegeCount;
    request.Privileges[0].Luid.LowPart = newState->luid.lowPart;
    request.Privileges[0].Luid.HighPart = newState->luid.highPart;
    request.Privileges[0].Attributes = newState->attributes;
    // Nothing may run between this call and the caller's GetLastError.
    return ::AdjustTokenPrivileges(token, disableAllPrivileges ? TRUE : FALSE, &request, bufferLength,
                                   nullptr, nullptr) != FALSE;
}

std::uint32_t GetLastError() { return ::GetLastError(); }

bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) {
    return ::ExitWindowsEx(flags, reason) != FALSE;
}

Handle GetStdHandle(std::int32_t which) { return ::GetStdHandle(static_cast<DWORD>(which)); }

bool FlushConsoleInputBuffer(Handle input) { return ::FlushConsoleInputBuffer(input) != FALSE; }

Handle CreateFileW(const wchar_t* name, std::uint32_t access, std::uint32_t share,
                   std::uint32_t disposition) {
    return ::CreateFileW(name, access, share, nullptr, disposition, 0, nullptr);
}

bool GetConsoleMode(Handle console, std::uint32_t* mode) {
    DWORD value = 0;
    const BOOL ok = ::GetConsoleMode(console, &value);
    *mode = value;
    return ok != FALSE;
}

bool SetConsoleMode(Handle console, std::uint32_t mode) {
    return ::SetConsoleMode(console, mode) != FALSE;
}

static void CopyInputRecord(const INPUT_RECORD& from, InputRecord* to) {
    *to = InputRecord{};
    to->eventType = from.EventType;
    if (from.EventType == KEY_EVENT) {
        const KEY_EVENT_RECORD& key = from.Event.KeyEvent;
        to->keyDown = key.bKeyDown != FALSE;
        to->repeatCount = key.wRepeatCount;
        to->virtualKeyCode = key.wVirtualKeyCode;
        to->virtualScanCode = key.wVirtualScanCode;
        to->unicodeChar = key.uChar.UnicodeChar;
        to->controlKeyState = key.dwControlKeyState;
    }
}

bool ReadConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead) {
    INPUT_RECORD event{};
    DWORD count = 0;
    const BOOL ok = ::ReadConsoleInputW(input, &event, 1, &count);
    *eventsRead = count;
    CopyInputRecord(event, record);
    return ok != FALSE;
}

bool PeekConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead) {
    INPUT_RECORD event{};
    DWORD count = 0;
    const BOOL ok = ::PeekConsoleInputW(input, &event, 1, &count);
    *eventsRead = count;
    CopyInputRecord(event, record);
    return ok != FALSE;
}

bool WriteConsoleW(Handle output, const wchar_t* text, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = ::WriteConsoleW(output, text, length, &count, nullptr);
    *written = count;
    return ok != FALSE;
}

bool WriteFile(Handle file, const void* bytes, std::uint32_t length, std::uint32_t* written) {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(file, bytes, length, &count, nullptr);
    *written = count;
    return ok != FALSE;
}

} // namespace platform

// The seam on the host: a simulated Windows that does what the logic expects
// of each call and logs the call with its arguments.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"
#include "platform/simulated/simulated.h"

namespace sim {

namespace {

State state;

// Handle values the simulation hands out; their names appear in the log.
platform::Handle const kCurrentProcess = reinterpret_cast<platform::Handle>(static_cast<std::intptr_t>(-1));
platform::Handle const kInvalid = reinterpret_cast<platform::Handle>(static_cast<std::intptr_t>(-1));
platform::Handle const kStdout = reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x11));
platform::Handle const kStderr = reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x12));
platform::Handle const kStdinConsole = reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x13));
platform::Handle const kStdinFile = reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x14));
platform::Handle const kConin = reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x15));
platform::RegistryKey const kLocalMachine = reinterpret_cast<platform::RegistryKey>(static_cast<std::uintptr_t>(0x80000002u));

platform::Handle NewHandle(const std::string& name) {
    auto handle = reinterpret_cast<platform::Handle>(state.nextHandle++);
    state.handleNames[handle] = name;
    return handle;
}

std::string NameOf(const void* handle) {
    if (handle == nullptr) return "null";
    if (handle == kLocalMachine) return "HKLM";
    if (handle == kStdinConsole) return "console-input";
    if (handle == kStdinFile) return "stdin";
    if (handle == kConin) return "CONIN$";
    if (handle == kStdout) return "stdout";
    if (handle == kStderr) return "stderr";
    const auto found = state.handleNames.find(const_cast<void*>(handle));
    if (found != state.handleNames.end()) return found->second;
    char text[32];
    std::snprintf(text, sizeof text, "handle(%p)", handle);
    return text;
}

std::string Quoted(const wchar_t* text) { return text == nullptr ? "null" : "\"" + Utf8(text) + "\""; }

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

void Log(const std::string& line) { state.calls.push_back(line); }

std::wstring Lower(const std::wstring& text) {
    std::wstring lowered = text;
    for (wchar_t& c : lowered)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return lowered;
}

View ViewOf(std::uint32_t flags) { return (flags & platform::kKeyWow64_32Key) ? View::Bits32 : View::Bits64; }

std::wstring SizedText(const wchar_t* text, std::uint32_t length) { return std::wstring(text, length); }

} // namespace

State& Current() { return state; }

void Reset() { state = State(); }

platform::InputRecord KeyDown(wchar_t character, std::uint16_t virtualKey) {
    platform::InputRecord record{};
    record.eventType = platform::kKeyEvent;
    record.keyDown = true;
    record.repeatCount = 1;
    record.virtualKeyCode = virtualKey;
    record.unicodeChar = character;
    return record;
}

platform::InputRecord KeyUp(wchar_t character, std::uint16_t virtualKey) {
    platform::InputRecord record = KeyDown(character, virtualKey);
    record.keyDown = false;
    return record;
}

platform::InputRecord OtherEvent(std::uint16_t eventType) {
    platform::InputRecord record{};
    record.eventType = eventType;
    return record;
}

platform::InputRecord NoEvent() { return platform::InputRecord{}; }

std::string Utf8(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void AddKey(View view, const std::wstring& path) {
    const std::wstring lowered = Lower(path);
    for (std::size_t at = lowered.find(L'\\'); at != std::wstring::npos; at = lowered.find(L'\\', at + 1))
        state.keys.insert({view, lowered.substr(0, at)});
    state.keys.insert({view, lowered});
}

bool HasKey(View view, const std::wstring& path) { return state.keys.count({view, Lower(path)}) != 0; }

} // namespace sim

namespace platform {

using sim::state;

Handle InvalidHandle() { return sim::kInvalid; }
RegistryKey LocalMachine() { return sim::kLocalMachine; }

std::uint32_t MsiEnumProductsW(std::uint32_t index, wchar_t* productCode) {
    sim::Log("MsiEnumProductsW(" + std::to_string(index) + ")");
    if (index == state.enumerationFailsAt) return state.enumerationFailure;
    if (index >= state.products.size()) return sim::kErrorNoMoreItems;
    const std::wstring& code = state.products[index].code;
    const std::size_t length = code.size() < 39 ? code.size() : 39;
    std::wmemcpy(productCode, code.data(), length);
    productCode[length] = L'\0';
    return 0;
}

std::uint32_t MsiGetProductInfoW(const wchar_t* product, const wchar_t* property, wchar_t* value,
                                 std::uint32_t* length) {
    sim::Log("MsiGetProductInfoW(" + sim::Quoted(product) + ", " + sim::Quoted(property) + ", " +
             std::to_string(*length) + ")");
    const sim::Product* found = nullptr;
    for (const sim::Product& candidate : state.products)
        if (candidate.code == product) { found = &candidate; break; }
    std::uint32_t result = sim::kErrorUnknownProperty;
    std::size_t valueLength = 0;
    if (found != nullptr) {
        const sim::Property& wanted =
            std::wcscmp(property, L"InstalledProductName") == 0 ? found->name
            : std::wcscmp(property, L"Publisher") == 0          ? found->publisher
                                                                : sim::Property{L"", sim::kErrorUnknownProperty};
        valueLength = wanted.value.size();
        if (wanted.failure != 0) {
            result = wanted.failure;
        } else if (valueLength + 1 > *length) {
            result = sim::kErrorMoreData;
        } else {
            std::wmemcpy(value, wanted.value.data(), valueLength);
            value[valueLength] = L'\0';
            result = 0;
        }
    }
    *length = state.lengthWrittenBack != 0 ? state.lengthWrittenBack : static_cast<std::uint32_t>(valueLength);
    return result;
}

bool ShellExecuteExW(ShellExecuteRecord* record) {
    sim::Log("ShellExecuteExW(mask=" + sim::Hex(record->mask) + ", hwnd=" + sim::NameOf(record->window) +
             ", verb=" + sim::Quoted(record->verb) + ", file=" + sim::Quoted(record->file) +
             ", parameters=" + sim::Quoted(record->parameters) + ", directory=" + sim::Quoted(record->directory) +
             ", show=" + std::to_string(record->show) + ")");
    const std::wstring parameters = record->parameters != nullptr ? record->parameters : L"";
    state.launchedParameters.push_back(parameters);
    std::wstring code;
    const std::wstring head = L"/x ", tail = L" /qn /norestart";
    const std::size_t end = parameters.rfind(tail);
    if (parameters.compare(0, head.size(), head) == 0 && end != std::wstring::npos && end >= head.size())
        code = parameters.substr(head.size(), end - head.size());
    const auto found = state.launches.find(code);
    const sim::Launch launch = found != state.launches.end() ? found->second : sim::Launch{};
    if (launch.refused) {
        record->process = nullptr;
        return false;
    }
    record->process = sim::NewHandle("process#" + std::to_string(++state.processCount));
    state.launchesByHandle[record->process] = launch;
    return true;
}

std::uint32_t GetSystemDirectoryW(wchar_t* buffer, std::uint32_t size) {
    sim::Log("GetSystemDirectoryW(" + std::to_string(size) + ")");
    if (state.systemDirectoryFails) return 0;
    const std::size_t length = state.systemDirectory.size();
    if (length + 1 > size) return static_cast<std::uint32_t>(length + 1); // the buffer is left alone
    std::wmemcpy(buffer, state.systemDirectory.data(), length);
    buffer[length] = L'\0';
    return static_cast<std::uint32_t>(length);
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
    sim::Log("WaitForSingleObject(" + sim::NameOf(object) + ", " + sim::Hex(milliseconds) + ")");
    return 0;
}

bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) {
    sim::Log("GetExitCodeProcess(" + sim::NameOf(process) + ", preset " + std::to_string(*exitCode) + ")");
    const auto found = state.launchesByHandle.find(process);
    if (found == state.launchesByHandle.end() || found->second.exitCodeQueryFails) return false;
    *exitCode = found->second.exitCode;
    return true;
}

bool CloseHandle(Handle object) {
    sim::Log("CloseHandle(" + sim::NameOf(object) + ")");
    return true;
}

std::int32_t RegOpenKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t options, std::uint32_t access,
                           RegistryKey* result) {
    sim::Log("RegOpenKeyExW(" + sim::NameOf(root) + ", " + sim::Quoted(path) + ", " + std::to_string(options) +
             ", " + sim::Hex(access) + ")");
    *result = nullptr;
    const sim::KeyName name{sim::ViewOf(access), sim::Lower(path)};
    const auto failure = state.openFailures.find(name);
    if (failure != state.openFailures.end()) return failure->second;
    if (root != sim::kLocalMachine || state.keys.count(name) == 0) return kErrorFileNotFound;
    *result = sim::NewHandle("key#" + std::to_string(++state.keyCount));
    state.openKeys[*result] = name;
    return 0;
}

std::int32_t RegDeleteTreeW(RegistryKey key, const wchar_t* path) {
    sim::Log("RegDeleteTreeW(" + sim::NameOf(key) + ", " + sim::Quoted(path) + ")");
    const auto open = state.openKeys.find(key);
    if (path != nullptr || open == state.openKeys.end()) return 87; // only the emptying form is simulated
    const auto failure = state.emptyFailures.find(open->second);
    if (failure != state.emptyFailures.end()) return failure->second;
    const std::wstring prefix = open->second.second + L"\\";
    for (auto it = state.keys.begin(); it != state.keys.end();) {
        if (it->first == open->second.first && it->second.compare(0, prefix.size(), prefix) == 0)
            it = state.keys.erase(it);
        else
            ++it;
    }
    return 0;
}

std::int32_t RegDeleteKeyExW(RegistryKey root, const wchar_t* path, std::uint32_t view, std::uint32_t reserved) {
    sim::Log("RegDeleteKeyExW(" + sim::NameOf(root) + ", " + sim::Quoted(path) + ", " + sim::Hex(view) + ", " +
             std::to_string(reserved) + ")");
    const sim::KeyName name{sim::ViewOf(view), sim::Lower(path)};
    const auto failure = state.deleteFailures.find(name);
    if (failure != state.deleteFailures.end()) return failure->second;
    if (root != sim::kLocalMachine || state.keys.count(name) == 0) return kErrorFileNotFound;
    const std::wstring prefix = name.second + L"\\";
    for (const sim::KeyName& other : state.keys)
        if (other.first == name.first && other.second.compare(0, prefix.size(), prefix) == 0)
            return sim::kErrorAccessDenied; // a key with subkeys is not deleted
    state.keys.erase(name);
    return 0;
}

std::int32_t RegCloseKey(RegistryKey key) {
    sim::Log("RegCloseKey(" + sim::NameOf(key) + ")");
    state.openKeys.erase(key);
    return 0;
}

Handle GetCurrentProcess() { return sim::kCurrentProcess; }

bool OpenProcessToken(Handle process, std::uint32_t desiredAccess, Handle* token) {
    sim::Log("OpenProcessToken(" + std::string(process == sim::kCurrentProcess ? "current-process" : sim::NameOf(process)) +
             ", " + sim::Hex(desiredAccess) + ")");
    if (state.openTokenFails) {
        state.lastError = sim::kErrorAccessDenied;
        return false;
    }
    *token = sim::NewHandle("token#" + std::to_string(++state.tokenCount));
    return true;
}

bool LookupPrivilegeValueW(const wchar_t* systemName, const wchar_t* name, Luid* luid) {
    sim::Log("LookupPrivilegeValueW(" + sim::Quoted(systemName) + ", " + sim::Quoted(name) + ")");
    if (state.lookupFails) {
        state.lastError = 1313; // ERROR_NO_SUCH_PRIVILEGE
        return false;
    }
    luid->lowPart = 19;
    luid->highPart = 0;
    return true;
}

bool AdjustTokenPrivileges(Handle token, bool disableAllPrivileges, const TokenPrivileges* newState,
                           std::uint32_t bufferLength) {
    sim::Log("AdjustTokenPrivileges(" + sim::NameOf(token) + ", " + (disableAllPrivileges ? "TRUE" : "FALSE") +
             ", count=" + std::to_string(newState->privilegeCount) + ", luid=" + std::to_string(newState->luid.highPart) +
             ":" + std::to_string(newState->luid.lowPart) + ", attributes=" + std::to_string(newState->attributes) +
             ", " + std::to_string(bufferLength) + ")");
    state.lastError = state.lastErrorAfterAdjust;
    return !state.adjustFails;
}

std::uint32_t GetLastError() {
    sim::Log("GetLastError() = " + std::to_string(state.lastError));
    return state.lastError;
}

bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reason) {
    sim::Log("ExitWindowsEx(" + sim::Hex(flags) + ", " + sim::Hex(reason) + ")");
    if (state.restartRefused) return false;
    state.restartRequested = true;
    return true;
}

Handle GetStdHandle(std::int32_t which) {
    if (which == kStdOutputHandle) return sim::kStdout;
    if (which == kStdErrorHandle) return sim::kStderr;
    sim::Log("GetStdHandle(" + std::to_string(which) + ")");
    return state.stdinIsConsole ? sim::kStdinConsole : sim::kStdinFile;
}

bool FlushConsoleInputBuffer(Handle input) {
    sim::Log("FlushConsoleInputBuffer(" + sim::NameOf(input) + ")");
    if (input != sim::kStdinConsole) return false;
    state.typedAhead.clear();
    return true;
}

Handle CreateFileW(const wchar_t* name, std::uint32_t access, std::uint32_t share, std::uint32_t disposition) {
    sim::Log("CreateFileW(" + sim::Quoted(name) + ", " + sim::Hex(access) + ", " + sim::Hex(share) + ", " +
             std::to_string(disposition) + ")");
    if (!state.hasConsole || std::wcscmp(name, L"CONIN$") != 0) return sim::kInvalid;
    return sim::kConin;
}

bool GetConsoleMode(Handle console, std::uint32_t* mode) {
    if (console == sim::kStdout) return state.stdoutIsConsole;
    if (console == sim::kStderr) return state.stderrIsConsole;
    sim::Log("GetConsoleMode(" + sim::NameOf(console) + ")");
    if (console != sim::kConin && console != sim::kStdinConsole) return false;
    if (state.consoleModeUnreadable) return false;
    *mode = state.consoleMode;
    return true;
}

bool SetConsoleMode(Handle console, std::uint32_t mode) {
    sim::Log("SetConsoleMode(" + sim::NameOf(console) + ", " + sim::Hex(mode) + ")");
    if (console != sim::kConin && console != sim::kStdinConsole) return false;
    state.consoleMode = mode;
    return true;
}

static bool TakeInput(Handle input, InputRecord* record, std::uint32_t* eventsRead, bool remove) {
    *eventsRead = 0;
    if (input != sim::kConin || state.readFails) return false;
    std::deque<InputRecord>& queue = !state.typedAhead.empty() ? state.typedAhead : state.typedLater;
    if (queue.empty()) {
        if (remove) state.readWhileEmpty = true; // would block for ever
        return remove ? false : true;
    }
    if (queue.front().eventType == 0) { // succeeds with no event
        if (remove) queue.pop_front();
        return true;
    }
    *record = queue.front();
    if (remove) queue.pop_front();
    *eventsRead = 1;
    return true;
}

bool ReadConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead) {
    sim::Log("ReadConsoleInputW(" + sim::NameOf(input) + ", 1)");
    return TakeInput(input, record, eventsRead, true);
}

bool PeekConsoleInputW(Handle input, InputRecord* record, std::uint32_t* eventsRead) {
    sim::Log("PeekConsoleInputW(" + sim::NameOf(input) + ", 1)");
    return TakeInput(input, record, eventsRead, false);
}

// How many of `length` units or bytes the stream takes in this call; 0 when
// the call fails.
static std::uint32_t Take(sim::WriteBehaviour& stream, std::uint32_t length, bool* ok) {
    stream.offered.push_back(length);
    *ok = stream.failingCalls == 0;
    if (!*ok) {
        --stream.failingCalls;
        ++stream.failed;
        return 0;
    }
    return stream.takesAtMost != 0 && stream.takesAtMost < length ? stream.takesAtMost : length;
}

bool WriteConsoleW(Handle output, const wchar_t* text, std::uint32_t length, std::uint32_t* written) {
    bool ok = false;
    *written = Take(output == sim::kStderr ? state.stderrWrites : state.stdoutWrites, length, &ok);
    if (!ok) return false;
    const std::wstring units = sim::SizedText(text, *written);
    sim::Log(sim::NameOf(output) + " console " + sim::Quoted(units.c_str()));
    (output == sim::kStderr ? state.stderrUnits : state.stdoutUnits) += units;
    return true;
}

bool WriteFile(Handle file, const void* bytes, std::uint32_t length, std::uint32_t* written) {
    bool ok = false;
    *written = Take(file == sim::kStderr ? state.stderrWrites : state.stdoutWrites, length, &ok);
    if (!ok) return false;
    const std::string raw(static_cast<const char*>(bytes), *written);
    (file == sim::kStderr ? state.stderrFile : state.stdoutFile) += raw;
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i)
        if (raw[i] != '\r' || i + 1 == raw.size() || raw[i + 1] != '\n') text += raw[i];
    std::string& read = file == sim::kStderr ? state.stderrBytes : state.stdoutBytes;
    if (!text.empty() && text[0] == '\n' && !read.empty() && read.back() == '\r')
        read.pop_back(); // a CR LF split between two calls
    read += text;
    sim::Log(sim::NameOf(file) + " \"" + text + "\"");
    return true;
}

} // namespace platform

#include "uninstall/key_prompts.h"

#include <cstdint>
#include <iostream>

#include "platform/platform.h"

namespace vx {

namespace {

// The console's input device, opened at the first read and kept open for the
// rest of the process. A failed open is not tried again.
enum class DeviceState { NotOpened, Open, Failed };
DeviceState deviceState = DeviceState::NotOpened;
platform::Handle device = nullptr;

bool OpenConsoleDevice() {
    if (deviceState == DeviceState::NotOpened) {
        device = platform::CreateFileW(L"CONIN$", platform::kGenericRead | platform::kGenericWrite,
                                       platform::kFileShareRead | platform::kFileShareWrite,
                                       platform::kOpenExisting);
        deviceState = (device == platform::InvalidHandle()) ? DeviceState::Failed : DeviceState::Open;
    }
    return deviceState == DeviceState::Open;
}

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Keys that produce neither a character nor a key code of their own.
bool IsModifierKey(std::uint16_t virtualKey) {
    switch (virtualKey) {
    case 0x00:                         // no key code
    case 0x10: case 0x11: case 0x12:   // Shift, Ctrl, Alt
    case 0x14:                         // Caps Lock
    case 0x5B: case 0x5C: case 0x5D:   // left and right Windows keys, menu key
    case 0x90: case 0x91:              // Num Lock, Scroll Lock
    case 0xA0: case 0xA1: case 0xA2:   // left and right Shift, Ctrl, Alt
    case 0xA3: case 0xA4: case 0xA5:
        return true;
    default:
        return false;
    }
}

bool EndsTheWait(const platform::InputRecord& event) {
    if (event.eventType != platform::kKeyEvent || !event.keyDown)
        return false;
    return event.unicodeChar != L'\0' || !IsModifierKey(event.virtualKeyCode);
}

// A character outside the BMP arrives as two key presses, one for each half
// of its surrogate pair, and the first half's release may come between them.
// The second half belongs to the same key press.
void ConsumeRestOfKey(const platform::InputRecord& key) {
    if (!IsHighSurrogate(key.unicodeChar))
        return;
    for (;;) {
        platform::InputRecord next{};
        std::uint32_t count = 0;
        if (!platform::PeekConsoleInputW(device, &next, &count) || count != 1 ||
            next.eventType != platform::kKeyEvent)
            return;
        const bool releaseOfFirstHalf = !next.keyDown && next.unicodeChar == key.unicodeChar;
        const bool secondHalf = next.keyDown && IsLowSurrogate(next.unicodeChar);
        if (!releaseOfFirstHalf && !secondHalf)
            return;
        platform::ReadConsoleInputW(device, &next, &count);
        if (secondHalf)
            return;
    }
}

void ReadOneKey() {
    if (!OpenConsoleDevice())
        return;
    // Without echo, line input or Ctrl+C handling for the read. A mode that
    // cannot be read is left alone: setting one back that was never saved
    // would leave the user's console without echo after the program ends.
    std::uint32_t savedMode = 0;
    const bool modeSaved = platform::GetConsoleMode(device, &savedMode);
    if (modeSaved)
        platform::SetConsoleMode(device, 0);
    for (;;) {
        platform::InputRecord event{};
        std::uint32_t count = 0;
        if (!platform::ReadConsoleInputW(device, &event, &count) || count == 0)
            break;
        if (EndsTheWait(event)) {
            ConsumeRestOfKey(event);
            break;
        }
    }
    if (modeSaved)
        platform::SetConsoleMode(device, savedMode);
}

} // namespace

void WaitForKeyPress() {
    platform::FlushConsoleInputBuffer(platform::GetStdHandle(platform::kStdInputHandle));
    ReadOneKey();
}

void PromptForKey(const wchar_t* text) {
    std::wcout << text << std::flush;
    WaitForKeyPress();
}

void ExitPrompt() { PromptForKey(L"\nPress any key to exit.\n"); }

void ForgetConsoleDevice() {
    deviceState = DeviceState::NotOpened;
    device = nullptr;
}

} // namespace vx

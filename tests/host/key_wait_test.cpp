// The key wait: what it asks of the console, which input ends it, and how it
// behaves without a usable console.
#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <string>
#include <vector>

#include "run_helpers.h"
#include "uninstall/console.h"
#include "uninstall/key_prompts.h"

namespace {

using platform::InputRecord;

constexpr const char* kConsoleInputCalls[] = {"GetStdHandle(-10)", "FlushConsoleInputBuffer", "CreateFileW",
                                              "GetConsoleMode",    "SetConsoleMode",          "ReadConsoleInputW"};

std::vector<std::string> ConsoleInputCalls() {
    return host_test::CallsStartingWith({kConsoleInputCalls[0], kConsoleInputCalls[1], kConsoleInputCalls[2],
                                         kConsoleInputCalls[3], kConsoleInputCalls[4], kConsoleInputCalls[5]});
}

std::size_t CountCalls(const char* prefix) { return host_test::CallsStartingWith({prefix}).size(); }

std::size_t IndexOfCall(const char* prefix) { return host_test::IndexOf(prefix); }

class KeyWait : public ::testing::Test {
protected:
    void SetUp() override {
        host_test::FreshProcess();
        vx::SetUpConsoleStreams();
    }
    sim::State& machine = sim::Current();
};

TEST_F(KeyWait, OneWaitDiscardsInputThenReadsOneKeyFromTheConsoleDeviceWithEchoOff) {
    machine.consoleMode = 0x87;
    machine.typedLater = {sim::KeyDown(L'a', 0x41)};

    vx::WaitForKeyPress();

    EXPECT_EQ((std::vector<std::string>{
                  "GetStdHandle(-10)",
                  "FlushConsoleInputBuffer(console-input)",
                  "CreateFileW(\"CONIN$\", 0xc0000000, 0x3, 3)",
                  "GetConsoleMode(CONIN$)",
                  "SetConsoleMode(CONIN$, 0x0)",
                  "ReadConsoleInputW(CONIN$, 1)",
                  "SetConsoleMode(CONIN$, 0x87)",
              }),
              machine.calls);
    EXPECT_EQ(0x87u, machine.consoleMode);
    EXPECT_TRUE(machine.typedLater.empty());
    EXPECT_FALSE(machine.readWhileEmpty);
    EXPECT_TRUE(machine.stdoutBytes.empty());
}

TEST_F(KeyWait, KeysTypedAheadAreDroppedWhenStandardInputIsTheConsole) {
    machine.typedAhead = {sim::KeyDown(L'a', 0x41), sim::KeyDown(L'b', 0x42)};
    machine.typedLater = {sim::KeyDown(L'c', 0x43)};

    vx::WaitForKeyPress();

    EXPECT_TRUE(machine.typedAhead.empty());
    EXPECT_TRUE(machine.typedLater.empty()) << "the wait must end with the key pressed after it began";
    EXPECT_EQ(1u, CountCalls("ReadConsoleInputW"));
    EXPECT_FALSE(machine.readWhileEmpty);
}

TEST_F(KeyWait, RedirectedStandardInputStillWaitsOnTheConsoleAndKeepsKeysTypedAhead) {
    machine.stdinIsConsole = false;
    machine.typedAhead = {sim::KeyDown(L'a', 0x41)};
    machine.typedLater = {sim::KeyDown(L'b', 0x42)};

    vx::WaitForKeyPress();

    EXPECT_EQ((std::vector<std::string>{
                  "GetStdHandle(-10)",
                  "FlushConsoleInputBuffer(stdin)",
                  "CreateFileW(\"CONIN$\", 0xc0000000, 0x3, 3)",
                  "GetConsoleMode(CONIN$)",
                  "SetConsoleMode(CONIN$, 0x0)",
                  "ReadConsoleInputW(CONIN$, 1)",
                  "SetConsoleMode(CONIN$, 0x1f7)",
              }),
              machine.calls);
    EXPECT_TRUE(machine.typedAhead.empty()) << "the key typed ahead ends the wait";
    ASSERT_EQ(1u, machine.typedLater.size());
    EXPECT_EQ(L'b', machine.typedLater.front().unicodeChar);
}

struct EventCase {
    const char* what;
    InputRecord event;
    bool endsTheWait;
};

InputRecord Pressed(std::uint16_t virtualKey, wchar_t character = 0, std::uint32_t controlKeys = 0) {
    InputRecord record = sim::KeyDown(character, virtualKey);
    record.controlKeyState = controlKeys;
    return record;
}

const EventCase kEvents[] = {
    {"mouse event", sim::OtherEvent(2), false},
    {"window size event", sim::OtherEvent(4), false},
    {"menu event", sim::OtherEvent(8), false},
    {"focus event", sim::OtherEvent(16), false},
    {"release of a character key", sim::KeyUp(L'a', 0x41), false},
    {"release of F1", sim::KeyUp(0, 0x70), false},
    {"release of Enter", sim::KeyUp(L'\r', 0x0D), false},
    {"Shift alone", Pressed(0x10), false},
    {"Ctrl alone", Pressed(0x11), false},
    {"Alt alone", Pressed(0x12), false},
    {"Caps Lock", Pressed(0x14), false},
    {"Num Lock", Pressed(0x90), false},
    {"Scroll Lock", Pressed(0x91), false},
    {"left Windows key", Pressed(0x5B), false},
    {"right Windows key", Pressed(0x5C), false},
    {"menu key", Pressed(0x5D), false},
    {"left Shift", Pressed(0xA0), false},
    {"right Shift", Pressed(0xA1), false},
    {"left Ctrl", Pressed(0xA2), false},
    {"right Ctrl", Pressed(0xA3), false},
    {"left Alt", Pressed(0xA4), false},
    {"right Alt", Pressed(0xA5), false},

    {"a letter", Pressed(0x41, L'a'), true},
    {"a capital with Shift held", Pressed(0x41, L'A', 0x10), true},
    {"a digit", Pressed(0x31, L'1'), true},
    {"Enter", Pressed(0x0D, L'\r'), true},
    {"Escape", Pressed(0x1B, 0x1B), true},
    {"space", Pressed(0x20, L' '), true},
    {"Ctrl+C as character 3", Pressed(0x43, 3, 0x08), true},
    {"a non-ASCII character", Pressed(0xDE, 0x00E4), true},
    {"F1", Pressed(0x70), true},
    {"F12", Pressed(0x7B), true},
    {"left arrow", Pressed(0x25), true},
    {"up arrow", Pressed(0x26), true},
    {"right arrow", Pressed(0x27), true},
    {"down arrow", Pressed(0x28), true},
    {"Home", Pressed(0x24), true},
    {"End", Pressed(0x23), true},
    {"Page Up", Pressed(0x21), true},
    {"Page Down", Pressed(0x22), true},
    {"Insert", Pressed(0x2D), true},
    {"Delete", Pressed(0x2E), true},
};

TEST_F(KeyWait, OnlyAKeyPressWithACharacterOrAKeyCodeOfItsOwnEndsTheWait) {
    for (const EventCase& item : kEvents) {
        SCOPED_TRACE(item.what);
        host_test::FreshProcess();
        machine.typedLater = {item.event, sim::KeyDown(L'z', 0x5A)};

        vx::WaitForKeyPress();

        EXPECT_FALSE(machine.readWhileEmpty);
        if (item.endsTheWait) {
            EXPECT_EQ(1u, CountCalls("ReadConsoleInputW"));
            ASSERT_EQ(1u, machine.typedLater.size()) << "the next key is left for a later wait";
            EXPECT_EQ(L'z', machine.typedLater.front().unicodeChar);
        } else {
            EXPECT_EQ(2u, CountCalls("ReadConsoleInputW"));
            EXPECT_TRUE(machine.typedLater.empty()) << "the wait goes on to the next key";
        }
        EXPECT_EQ("SetConsoleMode(CONIN$, 0x1f7)", machine.calls.back());
    }
}

TEST_F(KeyWait, SeveralSkippedEventsBeforeTheKeyAreAllReadInOneWait) {
    machine.typedLater = {sim::OtherEvent(2), Pressed(0x10), sim::KeyUp(0, 0x10), sim::OtherEvent(16),
                          Pressed(0x41, L'a'), sim::KeyDown(L'z', 0x5A)};

    vx::WaitForKeyPress();

    EXPECT_EQ(5u, CountCalls("ReadConsoleInputW"));
    ASSERT_EQ(1u, machine.typedLater.size());
    EXPECT_EQ(L'z', machine.typedLater.front().unicodeChar);
    // The mode is set to 0 once and restored once, around all the reads.
    EXPECT_EQ((std::vector<std::string>{"SetConsoleMode(CONIN$, 0x0)", "SetConsoleMode(CONIN$, 0x1f7)"}),
              host_test::CallsStartingWith({"SetConsoleMode"}));
}

TEST_F(KeyWait, AFailedReadEndsTheWaitWithTheInputModeRestored) {
    machine.consoleMode = 0x1A7;
    machine.readFails = true;
    machine.typedLater = {sim::KeyDown(L'a', 0x41)};

    vx::WaitForKeyPress();

    const std::vector<std::string> calls = ConsoleInputCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ("ReadConsoleInputW(CONIN$, 1)", calls[calls.size() - 2]);
    EXPECT_EQ("SetConsoleMode(CONIN$, 0x1a7)", calls.back());
    EXPECT_EQ(1u, CountCalls("ReadConsoleInputW"));
    EXPECT_EQ(0x1A7u, machine.consoleMode);
}

TEST_F(KeyWait, AConsoleDeviceThatFailedToOpenIsNeverTriedAgain) {
    machine.hasConsole = false;
    vx::WaitForKeyPress();
    EXPECT_EQ((std::vector<std::string>{
                  "GetStdHandle(-10)",
                  "FlushConsoleInputBuffer(console-input)",
                  "CreateFileW(\"CONIN$\", 0xc0000000, 0x3, 3)",
              }),
              machine.calls);

    // Even once the console would open, the same process does not try again.
    machine.hasConsole = true;
    machine.typedLater = {sim::KeyDown(L'a', 0x41)};
    machine.calls.clear();
    vx::WaitForKeyPress();
    EXPECT_EQ((std::vector<std::string>{"GetStdHandle(-10)", "FlushConsoleInputBuffer(console-input)"}),
              machine.calls);
    EXPECT_EQ(1u, machine.typedLater.size()) << "nothing is read";
}

TEST_F(KeyWait, TheConsoleDeviceIsOpenedOnceForAllWaits) {
    machine.typedLater = {sim::KeyDown(L'a', 0x41), sim::KeyDown(L'b', 0x42), sim::KeyDown(L'c', 0x43)};

    vx::WaitForKeyPress();
    vx::WaitForKeyPress();
    vx::WaitForKeyPress();

    EXPECT_EQ(1u, CountCalls("CreateFileW"));
    EXPECT_EQ(3u, CountCalls("GetStdHandle(-10)"));
    EXPECT_EQ(3u, CountCalls("FlushConsoleInputBuffer"));
    EXPECT_EQ(3u, CountCalls("ReadConsoleInputW(CONIN$"));
    EXPECT_TRUE(machine.typedLater.empty());
    EXPECT_FALSE(machine.readWhileEmpty);
}

TEST_F(KeyWait, ACharacterOutsideTheBasicPlaneIsConsumedWholeByOneWait) {
    // U+1F600 arrives as the two halves of its surrogate pair, without a key
    // code: as two presses, or (as the emoji panel sends it) each half
    // pressed and released.
    const InputRecord high = sim::KeyDown(static_cast<wchar_t>(0xD83D));
    const InputRecord low = sim::KeyDown(static_cast<wchar_t>(0xDE00));
    const InputRecord highUp = sim::KeyUp(static_cast<wchar_t>(0xD83D));
    const InputRecord lowUp = sim::KeyUp(static_cast<wchar_t>(0xDE00));
    struct Shape {
        const char* what;
        std::deque<InputRecord> events;
    };
    const Shape shapes[] = {
        {"presses only", {high, low}},
        {"each half released", {high, highUp, low, lowUp}},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.what);
        host_test::FreshProcess();
        machine.stdinIsConsole = false; // nothing is discarded between the waits
        machine.typedLater = shape.events;
        machine.typedLater.push_back(sim::KeyDown(L'x', 0x58));

        vx::WaitForKeyPress();
        vx::WaitForKeyPress();

        EXPECT_TRUE(machine.typedLater.empty()) << "the second wait must end with its own key, not the second half";
        EXPECT_FALSE(machine.readWhileEmpty);
    }
}

TEST_F(KeyWait, PromptTextIsWrittenBeforeTheWaitBegins) {
    machine.typedLater = {sim::KeyDown(L'a', 0x41)};

    vx::ExitPrompt();

    ASSERT_GE(machine.calls.size(), 2u);
    EXPECT_EQ("stdout \"\nPress any key to exit.\n\"", machine.calls[0]);
    EXPECT_EQ("GetStdHandle(-10)", machine.calls[1]);
    EXPECT_TRUE(machine.typedLater.empty());
}

TEST_F(KeyWait, WithoutAConsoleEveryWaitOfARunEndsAtOnceAndThePromptsAreStillWritten) {
    machine.hasConsole = false;
    machine.products = {{L"{A}", {L"Velorantix Agent"}, {L"Velorantix"}}};
    machine.launches[L"{A}"].exitCode = 3010;

    EXPECT_EQ(3, host_test::RunProgram({L"-u", L"-w", L"-r"}));

    EXPECT_EQ("Velorantix Product Uninstaller v1.0\n"
              "Copyright (c) 2026 Velorantix. All rights reserved.\n"
              "Found 'Velorantix' products:\n"
              "- Velorantix Agent\n"
              "\n"
              "Press any key to proceed with uninstallation.\n"
              "Uninstalling: Velorantix Agent ... success (reboot required)\n"
              "\nPress any key to reboot.\n"
              "\nPress any key to exit.\n",
              host_test::Out());
    EXPECT_EQ(3u, CountCalls("GetStdHandle(-10)"));
    EXPECT_EQ(1u, CountCalls("CreateFileW"));
    EXPECT_EQ(0u, CountCalls("ReadConsoleInputW"));
    EXPECT_EQ(0u, CountCalls("SetConsoleMode"));
    EXPECT_TRUE(machine.restartRequested);
}

// A mode that cannot be read is never set: setting 0 and having no mode to
// put back would leave the user's console without echo after the program.
TEST_F(KeyWait, AnInputModeThatCannotBeReadIsLeftAlone) {
    machine.consoleMode = 0x1F7;
    machine.consoleModeUnreadable = true;
    machine.typedLater = {sim::OtherEvent(2), sim::KeyDown(L'a', 0x41), sim::KeyDown(L'z', 0x5A)};

    vx::WaitForKeyPress();

    EXPECT_EQ((std::vector<std::string>{
                  "GetStdHandle(-10)",
                  "FlushConsoleInputBuffer(console-input)",
                  "CreateFileW(\"CONIN$\", 0xc0000000, 0x3, 3)",
                  "GetConsoleMode(CONIN$)",
                  "ReadConsoleInputW(CONIN$, 1)",
                  "ReadConsoleInputW(CONIN$, 1)",
              }),
              ConsoleInputCalls());
    EXPECT_EQ(0x1F7u, machine.consoleMode);
    ASSERT_EQ(1u, machine.typedLater.size()) << "the key still ends the wait";
    EXPECT_EQ(L'z', machine.typedLater.front().unicodeChar);
}

// A read that succeeds without an event (Wine's console gives one for a
// Ctrl+C typed during the read) ends the wait, with the mode put back; the
// next key is left for the next wait.
TEST_F(KeyWait, AReadThatSucceedsWithNoEventEndsTheWait) {
    machine.consoleMode = 0x1A7;
    machine.typedLater = {sim::OtherEvent(2), sim::KeyUp(L'q', 0x51), sim::NoEvent(), sim::KeyDown(L'z', 0x5A)};

    vx::WaitForKeyPress();

    EXPECT_EQ(3u, CountCalls("ReadConsoleInputW"));
    ASSERT_EQ(1u, machine.typedLater.size());
    EXPECT_EQ(L'z', machine.typedLater.front().unicodeChar);
    EXPECT_EQ("SetConsoleMode(CONIN$, 0x1a7)", machine.calls.back());
    EXPECT_EQ(0x1A7u, machine.consoleMode);
    EXPECT_FALSE(machine.readWhileEmpty);
}

// At the proceed prompt such a read lets the removals begin.
TEST_F(KeyWait, AReadWithNoEventAtTheProceedPromptStartsTheRemovals) {
    machine.products = {{L"{A}", {L"Velorantix Agent"}, {L"Velorantix"}}};
    machine.typedLater = {sim::NoEvent(), sim::KeyDown(L'x', 0x58)};

    EXPECT_EQ(0, host_test::RunProgram({L"-u", L"-w"}));

    EXPECT_EQ(1u, machine.launchedParameters.size());
    EXPECT_LT(IndexOfCall("ReadConsoleInputW"), IndexOfCall("ShellExecuteExW"));
    EXPECT_TRUE(machine.typedLater.empty()) << "the exit prompt takes the key";
    EXPECT_FALSE(machine.readWhileEmpty);
}

} // namespace

// Waiting for a key press on the console, and the prompts that do so.
#pragma once

namespace vx {

// Drops pending console input, then blocks until one key press has been read
// from the console, without echo and without needing Enter. Returns at once
// when there is no console to read.
void WaitForKeyPress();

// Writes `text` to standard output, makes sure it is on the screen, and waits
// for a key press.
void PromptForKey(const wchar_t* text);

// The prompt every run made with the wait option ends with.
void ExitPrompt();

// Closes nothing: makes the next wait open the console device afresh, as at
// process start. For tests, which run many waits in one process.
void ForgetConsoleDevice();

} // namespace vx

// The wide standard output and error streams of the program.
//
// Both streams carry UTF-16 text. A console receives it as UTF-16 through
// WriteConsoleW; a file or pipe receives it as UTF-8, with each line feed
// written as CR LF, as the C runtime's text mode writes it. No character can
// put a stream into a failed state: a lone surrogate, which has no UTF-8
// form, is written to a file or pipe as U+FFFD, and the text after it goes
// out as usual. Output that cannot be written is dropped: it never holds up
// or stops the run.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Points std::wcout and std::wcerr at the process's standard output and
// standard error. std::wcerr stays tied to std::wcout and unit-buffered, so
// pending standard output is written before each error text.
void SetUpConsoleStreams();

// Writes UTF-16 text to the standard handle `which` (platform's
// kStdOutputHandle or kStdErrorHandle), as the streams do at each flush.
// A console gets the units unchanged through WriteConsoleW, at most 0x4000
// units a call, never ending a call between the halves of a surrogate pair;
// anything else gets the bytes of EncodeForFile through WriteFile, at most
// 0x10000 bytes a call. What a call leaves is offered to the next one; a
// call that fails or takes nothing ends the text there, so a closed pipe or
// a lost console costs one failed call and the text is dropped.
void WriteStandardHandle(std::int32_t which, const wchar_t* text, std::size_t length);

// The UTF-8 form of UTF-16 text; a surrogate without its partner becomes
// U+FFFD.
std::string EncodeUtf8(const wchar_t* text, std::size_t length);

// What a file or pipe receives: EncodeUtf8, with each line feed as CR LF.
std::string EncodeForFile(const wchar_t* text, std::size_t length);

} // namespace vx

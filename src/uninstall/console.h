// The wide standard output and error streams of the program.
//
// Both streams carry UTF-16 text. A console receives it as UTF-16 through
// WriteConsoleW; a file or pipe receives it as UTF-8. No character can put a
// stream into a failed state: a lone surrogate, which has no UTF-8 form, is
// written as U+FFFD, and the text after it goes out as usual.
#pragma once

#include <cstdint>
#include <string>

namespace vx {

// Points std::wcout and std::wcerr at the process's standard output and
// standard error. std::wcerr stays tied to std::wcout and unit-buffered, so
// pending standard output is written before each error text.
void SetUpConsoleStreams();

// The UTF-8 form of UTF-16 text; a surrogate without its partner becomes
// U+FFFD.
std::string EncodeUtf8(const wchar_t* text, std::size_t length);

} // namespace vx

// Wide-character option scanner with the interface of POSIX getopt.
//
// Differences from POSIX: an argument that begins with "--" ends the scan
// without being consumed, and the scanner never moves past an option
// character that the option string does not hold; it reports it again on
// every call until the caller lowers the count or moves the array.
#pragma once

#include <cstdint>

namespace vx {

// Result of getopt once the scan has ended.
constexpr std::uint16_t kGetoptEnd = 0xFFFF;

extern std::int32_t optind;    // index of the argument being scanned; starts at 1
extern std::uint16_t optopt;   // the character behind the last '?' result
extern std::int32_t opterr;    // non-zero: report a missing option argument
extern const wchar_t* optarg;  // argument of the last option that took one
extern std::int32_t optreset;  // non-zero: the next call starts a new scan

std::uint16_t getopt(std::int32_t argc, wchar_t* const* argv, const wchar_t* optstring);

} // namespace vx

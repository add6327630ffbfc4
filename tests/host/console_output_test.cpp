// The standard streams over the process's standard handles: UTF-8 with CR LF
// line ends into files, UTF-16 units into consoles, surrogate pairs kept
// whole, standard error after pending standard output, and output that the
// platform takes in pieces or not at all.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "platform/simulated/simulated.h"
#include "run_helpers.h"
#include "uninstall/console.h"

namespace {

// Flushes what an earlier test left in the streams, then points them at a
// fresh simulated process.
void FreshStreams(bool stdoutIsConsole, bool stderrIsConsole) {
    std::wcout.flush();
    std::wcerr.flush();
    sim::Reset();
    sim::Current().stdoutIsConsole = stdoutIsConsole;
    sim::Current().stderrIsConsole = stderrIsConsole;
    vx::SetUpConsoleStreams();
}

std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring text;
    for (unsigned unit : units)
        text += static_cast<wchar_t>(unit);
    return text;
}

const std::string kReplacement = "\xEF\xBF\xBD";

// What a file holds for text written with line feeds.
std::string WithCrLf(const std::string& text) {
    std::string bytes;
    for (const char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

struct TextCase {
    const char* name;
    std::wstring text;
    std::string utf8;
};

std::ostream& operator<<(std::ostream& out, const TextCase& c) { return out << c.name; }

// Every text is followed by "|" when written, so that the text after an
// unpaired surrogate shows up too.
const TextCase kTextCases[] = {
    {"Ascii", L"Velorantix 2026\n", "Velorantix 2026\n"},
    {"TwoByteForm", L"\u00E9\u0080\u07FF", "\xC3\xA9\xC2\x80\xDF\xBF"},
    {"ThreeByteForm", L"\u6F22\u0800\uFFFD\uFFFF", "\xE6\xBC\xA2\xE0\xA0\x80\xEF\xBF\xBD\xEF\xBF\xBF"},
    {"SurrogatePair", L"a" L"\xD83D\xDE00" L"b", "a\xF0\x9F\x98\x80" "b"},
    {"LowestAndHighestPairs", L"\xD800\xDC00" L"\xDBFF\xDFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
    {"EmbeddedZero", std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
    {"LoneHighSurrogate", Units({'a', 0xD800, 'b'}), "a" + kReplacement + "b"},
    {"LoneLowSurrogate", Units({'a', 0xDC00, 'b'}), "a" + kReplacement + "b"},
    {"LoneHighAtStart", Units({0xDBFF, 'x'}), kReplacement + "x"},
    {"LoneLowAtStart", Units({0xDFFF, 'x'}), kReplacement + "x"},
    {"LoneHighAtEnd", Units({'x', 0xD83D}), "x" + kReplacement},
    {"TwoHighsThenLow", Units({0xD83D, 0xD83D, 0xDE00}), kReplacement + "\xF0\x9F\x98\x80"},
    {"LowThenHigh", Units({0xDE00, 0xD83D, 'z'}), kReplacement + kReplacement + "z"},
    {"HighThenNonSurrogate", Units({0xD83D, 0x6F22}), kReplacement + "\xE6\xBC\xA2"},
};

class ConsoleText : public testing::TestWithParam<TextCase> {};

TEST_P(ConsoleText, FileReceivesUtf8AndStreamStaysGood) {
    const TextCase& c = GetParam();
    FreshStreams(false, false);
    std::wcout << c.text << L'|' << std::flush;
    EXPECT_TRUE(std::wcout.good());
    EXPECT_EQ(c.utf8 + "|", sim::Current().stdoutBytes);
    std::wcout << L"after" << std::flush;
    EXPECT_EQ(c.utf8 + "|after", sim::Current().stdoutBytes);
    EXPECT_EQ(WithCrLf(c.utf8) + "|after", sim::Current().stdoutFile);
    EXPECT_TRUE(sim::Current().stdoutUnits.empty());
}

TEST_P(ConsoleText, StandardErrorFileReceivesUtf8) {
    const TextCase& c = GetParam();
    FreshStreams(false, false);
    std::wcerr << c.text << L'|';
    EXPECT_TRUE(std::wcerr.good());
    EXPECT_EQ(c.utf8 + "|", sim::Current().stderrBytes);
    EXPECT_EQ(WithCrLf(c.utf8) + "|", sim::Current().stderrFile);
    EXPECT_EQ("", sim::Current().stdoutBytes);
}

TEST_P(ConsoleText, ConsoleReceivesUnitsUnchanged) {
    const TextCase& c = GetParam();
    FreshStreams(true, true);
    std::wcout << c.text << L'|' << std::flush;
    std::wcerr << c.text << L'|';
    EXPECT_TRUE(std::wcout.good());
    EXPECT_TRUE(std::wcerr.good());
    EXPECT_EQ(c.text + L"|", sim::Current().stdoutUnits);
    EXPECT_EQ(c.text + L"|", sim::Current().stderrUnits);
    EXPECT_EQ("", sim::Current().stdoutBytes);
    EXPECT_EQ("", sim::Current().stderrBytes);
}

INSTANTIATE_TEST_SUITE_P(Table, ConsoleText, testing::ValuesIn(kTextCases),
                         [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// The console calls' log lines show a lone surrogate as "\uXXXX"; a pair
// split across two calls would show up that way.
void ExpectNoSplitPair() {
    for (const std::string& call : sim::Current().calls)
        EXPECT_EQ(std::string::npos, call.find("\\u")) << call.substr(0, 80) << " ... "
                                                       << call.substr(call.size() > 40 ? call.size() - 40 : 0);
}

// A pair whose high half is the last unit that fits the stream's buffer, or
// lands around that point, reaches the console and the encoder whole.
TEST(ConsoleOutput, SurrogatePairAcrossBufferBoundaryStaysWhole) {
    const std::size_t leads[] = {1, 1022, 1023, 1024, 1025, 2046, 2047, 2048, 4095};
    const std::wstring pair = L"\xD83D\xDE00";
    for (const std::size_t lead : leads) {
        for (int way = 0; way < 3; ++way) {
            for (const bool console : {true, false}) {
                SCOPED_TRACE("lead " + std::to_string(lead) + ", way " + std::to_string(way) +
                             (console ? ", console" : ", file"));
                FreshStreams(console, console);
                const std::wstring text = std::wstring(lead, L'a') + pair + L"z";
                if (way == 0) {
                    std::wcout << text; // all at once
                } else if (way == 1) {
                    for (const wchar_t unit : text) // one unit at a time
                        std::wcout.put(unit);
                } else {
                    std::wcout << std::wstring(lead, L'a') << pair[0]; // in separate writes
                    std::wcout << pair[1] << L"z";
                }
                std::wcout.flush();
                if (console) {
                    EXPECT_EQ(text, sim::Current().stdoutUnits);
                    ExpectNoSplitPair();
                } else {
                    EXPECT_EQ(std::string(lead, 'a') + "\xF0\x9F\x98\x80" "z", sim::Current().stdoutBytes);
                }
            }
        }
    }
}

// An explicit flush between the two halves does not split the pair either.
TEST(ConsoleOutput, FlushBetweenHalvesKeepsPairTogether) {
    for (const bool console : {true, false}) {
        SCOPED_TRACE(console ? "console" : "file");
        FreshStreams(console, console);
        std::wcout << L"x" << static_cast<wchar_t>(0xD83D) << std::flush;
        std::wcout << static_cast<wchar_t>(0xDE00) << L"y" << std::flush;
        if (console) {
            EXPECT_EQ(L"x" L"\xD83D\xDE00" L"y", sim::Current().stdoutUnits);
            ExpectNoSplitPair();
        } else {
            EXPECT_EQ("x\xF0\x9F\x98\x80y", sim::Current().stdoutBytes);
        }
    }
}

// Standard error is tied to standard output: what is pending on standard
// output goes out first, and the error text goes out without a flush.
TEST(ConsoleOutput, StandardErrorFollowsPendingStandardOutput) {
    struct Case {
        bool stdoutConsole;
        bool stderrConsole;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {false, false, {"stdout \"Uninstalling: Agent ... \"", "stderr \"failed (1603)\n\"", "stdout \"next\n\""}},
        {true, true,
         {"stdout console \"Uninstalling: Agent ... \"", "stderr console \"failed (1603)\n\"",
          "stdout console \"next\n\""}},
        {true, false,
         {"stdout console \"Uninstalling: Agent ... \"", "stderr \"failed (1603)\n\"", "stdout console \"next\n\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stdoutConsole ? "console" : "file") + " / " + (c.stderrConsole ? "console" : "file"));
        FreshStreams(c.stdoutConsole, c.stderrConsole);
        std::wcout << L"Uninstalling: Agent ... ";
        std::wcerr << L"failed (1603)\n";
        std::wcout << L"next\n";
        std::wcout.flush();
        EXPECT_EQ(c.calls, sim::Current().calls);
    }
}

TEST(ConsoleOutput, LongTextArrivesWhole) {
    const std::wstring pattern = L"ab\u00E9\u6F22" L"\xD83D\xDE00" L"\n";
    const std::string patternUtf8 = "ab\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80\n";
    std::wstring text;
    std::string utf8;
    while (text.size() <= 150000) {
        text += pattern;
        utf8 += patternUtf8;
    }
    for (const bool console : {true, false}) {
        SCOPED_TRACE(console ? "console" : "file");
        FreshStreams(console, console);
        std::wcout << text << std::flush;
        std::wcerr << text;
        EXPECT_TRUE(std::wcout.good());
        if (console) {
            EXPECT_TRUE(sim::Current().stdoutUnits == text);
            EXPECT_TRUE(sim::Current().stderrUnits == text);
            ExpectNoSplitPair();
        } else {
            EXPECT_TRUE(sim::Current().stdoutFile == WithCrLf(utf8));
            EXPECT_TRUE(sim::Current().stderrFile == WithCrLf(utf8));
        }
    }
}

TEST(ConsoleOutput, EncodeUtf8ReadsExactlyTheGivenLength) {
    struct Case {
        std::wstring text;
        std::size_t length;
        std::string expected;
    };
    const Case cases[] = {
        {L"abc", 0, ""},
        {L"abc", 2, "ab"},
        {std::wstring(L"a\0b", 3), 3, std::string("a\0b", 3)},
        {L"ab" L"\xD83D\xDE00", 3, "ab" + kReplacement}, // the pair's low half lies beyond the length
        {L"ab" L"\xD83D\xDE00", 4, "ab\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Utf8(c.text) + " / " + std::to_string(c.length));
        EXPECT_EQ(c.expected, vx::EncodeUtf8(c.text.data(), c.length));
    }
}

// Line ends as the C runtime's text mode writes them: CR LF into a file or
// pipe, on both streams; a console gets its line feeds unchanged.
TEST(ConsoleOutput, FilesGetCrLfLineEndsAndConsolesGetLineFeeds) {
    struct Case {
        const char* what;
        std::wstring text;
        std::string file;
    };
    const Case cases[] = {
        {"one line", L"Velorantix\n", "Velorantix\r\n"},
        {"empty lines", L"\n\nx\n\n", "\r\n\r\nx\r\n\r\n"},
        {"line feed first", L"\nPress any key to exit.\n", "\r\nPress any key to exit.\r\n"},
        {"no line end", L"Uninstalling: A ... ", "Uninstalling: A ... "},
        // Every line feed gets its CR, as in text mode, also one after a CR.
        {"CR before the line feed", L"a\r\nb\r", "a\r\r\nb\r"},
        {"non-ASCII and pairs around it", L"\u00E9\n" L"\xD83D\xDE00\n\u6F22",
         "\xC3\xA9\r\n\xF0\x9F\x98\x80\r\n\xE6\xBC\xA2"},
        {"lone surrogate before it", Units({'a', 0xD800, '\n', 0xDC00}), "a" + kReplacement + "\r\n" + kReplacement},
    };
    for (const Case& c : cases) {
        for (const bool console : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (console ? ", console" : ", file"));
            FreshStreams(console, console);
            std::wcout << c.text << std::flush;
            std::wcerr << c.text;
            if (console) {
                EXPECT_EQ(c.text, sim::Current().stdoutUnits);
                EXPECT_EQ(c.text, sim::Current().stderrUnits);
                EXPECT_EQ("", sim::Current().stdoutFile);
                EXPECT_EQ("", sim::Current().stderrFile);
            } else {
                EXPECT_EQ(c.file, sim::Current().stdoutFile);
                EXPECT_EQ(c.file, sim::Current().stderrFile);
                EXPECT_TRUE(sim::Current().stdoutUnits.empty());
            }
        }
    }
}

// The stream buffer holds 1024 units: a line feed that is the last unit of
// a full buffer, or the first of the next, still gets its CR, once.
TEST(ConsoleOutput, ALineFeedAtTheBufferBoundaryGetsOneCr) {
    for (const std::size_t lead : {1022u, 1023u, 1024u, 1025u, 2047u, 2048u}) {
        for (int way = 0; way < 2; ++way) {
            for (const bool console : {false, true}) {
                SCOPED_TRACE("lead " + std::to_string(lead) + (way == 0 ? ", at once" : ", unit by unit") +
                             (console ? ", console" : ", file"));
                FreshStreams(console, console);
                const std::wstring text = std::wstring(lead, L'a') + L"\n\nb\n";
                if (way == 0) {
                    std::wcout << text;
                } else {
                    for (const wchar_t unit : text)
                        std::wcout.put(unit);
                }
                std::wcout.flush();
                if (console)
                    EXPECT_TRUE(text == sim::Current().stdoutUnits);
                else
                    EXPECT_TRUE(std::string(lead, 'a') + "\r\n\r\nb\r\n" == sim::Current().stdoutFile);
            }
        }
    }
}

// One write of a standard handle takes at most 0x10000 bytes (file) or
// 0x4000 units (console). A CR LF may be split between two calls; it still
// arrives whole and once. A surrogate pair is not split between two calls.
TEST(ConsoleOutput, ALineFeedAtAChunkBoundaryArrivesAsOneCrLf) {
    for (const std::size_t lead : {0xFFFEu, 0xFFFFu, 0x10000u, 0x1FFFFu}) {
        SCOPED_TRACE("file, lead " + std::to_string(lead));
        FreshStreams(false, false);
        const std::wstring text = std::wstring(lead, L'a') + L"\nz\n";
        vx::WriteStandardHandle(platform::kStdErrorHandle, text.data(), text.size());
        EXPECT_TRUE(std::string(lead, 'a') + "\r\nz\r\n" == sim::Current().stderrFile);
        const std::vector<std::uint32_t>& offered = sim::Current().stderrWrites.offered;
        ASSERT_GE(offered.size(), 2u);
        for (const std::uint32_t length : offered)
            EXPECT_LE(length, 0x10000u);
        EXPECT_EQ(0x10000u, offered[0]);
    }
    for (const std::size_t lead : {0x3FFEu, 0x3FFFu, 0x4000u, 0x7FFFu}) {
        SCOPED_TRACE("console, lead " + std::to_string(lead));
        FreshStreams(true, true);
        const std::wstring text = std::wstring(lead, L'a') + L"\nz\n";
        vx::WriteStandardHandle(platform::kStdOutputHandle, text.data(), text.size());
        EXPECT_TRUE(text == sim::Current().stdoutUnits);
        for (const std::uint32_t length : sim::Current().stdoutWrites.offered)
            EXPECT_LE(length, 0x4000u);
        EXPECT_EQ(0x4000u, sim::Current().stdoutWrites.offered[0]);
    }
    for (const std::size_t lead : {0x3FFEu, 0x3FFFu, 0x4000u}) {
        SCOPED_TRACE("console, pair after lead " + std::to_string(lead));
        FreshStreams(true, true);
        const std::wstring text = std::wstring(lead, L'a') + L"\xD83D\xDE00" L"z";
        vx::WriteStandardHandle(platform::kStdOutputHandle, text.data(), text.size());
        EXPECT_TRUE(text == sim::Current().stdoutUnits);
        ExpectNoSplitPair();
    }
}

// Text over several chunks, with line feeds, pairs and multi-byte forms, for
// the whole-text checks below.
struct LongText {
    std::wstring units;
    std::string file;
};

LongText MakeLongText(std::size_t atLeast) {
    const std::wstring pattern = L"ab\u00E9\u6F22" L"\xD83D\xDE00" L"\n";
    const std::string patternFile = "ab\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80\r\n";
    LongText text;
    while (text.units.size() < atLeast) {
        text.units += pattern;
        text.file += patternFile;
    }
    return text;
}

// A write that takes only part of what it is given, on a console or a file
// and on either stream: the rest follows in further calls, nothing is lost or
// written twice, whatever the piece size against both chunk sizes.
TEST(ConsoleOutput, ShortWritesStillDeliverTheWholeText) {
    const LongText text = MakeLongText(0x12000); // over four console chunks, two file chunks
    const std::uint32_t pieces[] = {1, 7, 1000, 0x3FFF, 0x4001, 0xFFFF, 0x10001};
    for (const std::uint32_t piece : pieces) {
        for (const bool console : {false, true}) {
            for (const std::int32_t which : {platform::kStdOutputHandle, platform::kStdErrorHandle}) {
                if (piece == 1 && !console && which == platform::kStdErrorHandle)
                    continue; // the other stream shows it; this one would only be slow
                SCOPED_TRACE("piece " + std::to_string(piece) + (console ? ", console" : ", file") +
                             (which == platform::kStdOutputHandle ? ", stdout" : ", stderr"));
                FreshStreams(console, console);
                sim::State& machine = sim::Current();
                const bool toStdout = which == platform::kStdOutputHandle;
                (toStdout ? machine.stdoutWrites : machine.stderrWrites).takesAtMost = piece;
                vx::WriteStandardHandle(which, text.units.data(), text.units.size());
                if (console)
                    EXPECT_TRUE(text.units == (toStdout ? machine.stdoutUnits : machine.stderrUnits));
                else
                    EXPECT_TRUE(text.file == (toStdout ? machine.stdoutFile : machine.stderrFile));
            }
        }
    }
}

// The same through the streams, with short writes on both at once.
TEST(ConsoleOutput, ShortWritesThroughTheStreams) {
    const LongText text = MakeLongText(5000);
    for (const std::uint32_t piece : {1u, 3u, 1000u}) {
        for (const bool console : {false, true}) {
            SCOPED_TRACE("piece " + std::to_string(piece) + (console ? ", console" : ", file"));
            FreshStreams(console, console);
            sim::State& machine = sim::Current();
            machine.stdoutWrites.takesAtMost = piece;
            machine.stderrWrites.takesAtMost = piece;
            std::wcout << text.units << L"Uninstalling: A ... ";
            std::wcerr << L"failed (1603)\n";
            std::wcout << L"next\n" << std::flush;
            EXPECT_TRUE(std::wcout.good());
            EXPECT_TRUE(std::wcerr.good());
            if (console) {
                EXPECT_TRUE(text.units + L"Uninstalling: A ... next\n" == machine.stdoutUnits);
                EXPECT_EQ(L"failed (1603)\n", machine.stderrUnits);
            } else {
                EXPECT_TRUE(text.file + "Uninstalling: A ... next\r\n" == machine.stdoutFile);
                EXPECT_EQ("failed (1603)\r\n", machine.stderrFile);
            }
        }
    }
}

// A write that fails (a closed pipe, a console that is gone) is not tried
// again: the text is dropped after one call, and the stream stays usable.
TEST(ConsoleOutput, AFailingWriteIsTriedOnceAndTheTextDropped) {
    for (const bool console : {false, true}) {
        for (const std::int32_t which : {platform::kStdOutputHandle, platform::kStdErrorHandle}) {
            const bool toStdout = which == platform::kStdOutputHandle;
            SCOPED_TRACE(std::string(console ? "console" : "file") + (toStdout ? ", stdout" : ", stderr"));
            FreshStreams(console, console);
            sim::State& machine = sim::Current();
            sim::WriteBehaviour& writes = toStdout ? machine.stdoutWrites : machine.stderrWrites;

            // Long enough for several chunks: the first failure ends it.
            writes.failingCalls = sim::kEveryCall;
            const LongText text = MakeLongText(0x12000);
            vx::WriteStandardHandle(which, text.units.data(), text.units.size());
            EXPECT_EQ(1u, writes.offered.size());
            EXPECT_EQ(1u, writes.failed);

            // Through the stream: one call for each flush, and the stream
            // keeps going once the handle works again.
            writes = sim::WriteBehaviour{};
            writes.failingCalls = 2;
            std::wostream& stream = toStdout ? std::wcout : std::wcerr;
            stream << L"lost\n" << std::flush;
            stream << L"lost too\n" << std::flush;
            stream << L"arrives\n" << std::flush;
            EXPECT_TRUE(stream.good());
            EXPECT_EQ(3u, writes.offered.size());
            EXPECT_EQ(2u, writes.failed);
            if (console)
                EXPECT_EQ(L"arrives\n", toStdout ? machine.stdoutUnits : machine.stderrUnits);
            else
                EXPECT_EQ("arrives\r\n", toStdout ? machine.stdoutFile : machine.stderrFile);
        }
    }
}

// Whole runs into files: every line end of every text, on both streams, is
// CR LF, and nothing else differs from the program's texts.
TEST(ConsoleOutput, EveryKindOfRunWritesCrLfLineEndsToFiles) {
    struct Case {
        const char* what;
        std::vector<std::wstring> arguments;
        bool products;
        bool errors;
    };
    const Case cases[] = {
        {"usage text", {L"-h", L"-w"}, false, false},
        {"nothing found", {}, false, false},
        {"listing", {}, true, false},
        {"removals that fail and succeed", {L"-u", L"-w"}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host_test::FreshProcess();
        sim::State& machine = sim::Current();
        if (c.products) {
            machine.products = {{L"{A}", {L"Velorantix A"}, {L"Velorantix"}},
                                {L"{B}", {L"Velorantix B"}, {L"Velorantix"}},
                                {L"{C}", {L"Velorantix C"}, {L"Velorantix"}}};
            machine.launches[L"{A}"].exitCode = 1603;
            machine.launches[L"{B}"].refused = true;
            machine.launches[L"{C}"].exitCode = 3010;
        }
        host_test::RunProgram(c.arguments);
        EXPECT_TRUE(host_test::LineEndsAreCrLf(machine.stdoutFile)) << machine.stdoutFile;
        EXPECT_TRUE(host_test::LineEndsAreCrLf(machine.stderrFile)) << machine.stderrFile;
        EXPECT_EQ(WithCrLf(host_test::Out()), machine.stdoutFile);
        EXPECT_EQ(WithCrLf(host_test::Err()), machine.stderrFile);
        EXPECT_NE(std::string::npos, machine.stdoutFile.find("\r\n"));
        EXPECT_EQ(c.errors, machine.stderrFile.find("\r\n") != std::string::npos);
    }
}

} // namespace

// The standard streams over the process's standard handles: UTF-8 into files,
// UTF-16 units into consoles, surrogate pairs kept whole, standard error
// after pending standard output.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "platform/simulated/simulated.h"
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
    EXPECT_TRUE(sim::Current().stdoutUnits.empty());
}

TEST_P(ConsoleText, StandardErrorFileReceivesUtf8) {
    const TextCase& c = GetParam();
    FreshStreams(false, false);
    std::wcerr << c.text << L'|';
    EXPECT_TRUE(std::wcerr.good());
    EXPECT_EQ(c.utf8 + "|", sim::Current().stderrBytes);
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
            EXPECT_TRUE(sim::Current().stdoutBytes == utf8);
            EXPECT_TRUE(sim::Current().stderrBytes == utf8);
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

} // namespace

// The wide option scanner: sequences of results and of the scan variables,
// call by call.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/simulated/simulated.h"
#include "uninstall/console.h"
#include "uninstall/option_scanner.h"

namespace {

constexpr std::uint16_t kEnd = vx::kGetoptEnd;
constexpr std::uint16_t kUnknown = L'?';

// An argument array whose strings and pointer array have exactly the room
// they need, so that a read past an argument's terminator or past the last
// element is caught by the address sanitizer.
class Arguments {
public:
    explicit Arguments(const std::vector<const wchar_t*>& afterPath) {
        Add(L"C:\\tools\\vxuninstall.exe");
        for (const wchar_t* argument : afterPath)
            Add(argument);
        pointers_.reset(new wchar_t*[strings_.size()]);
        for (std::size_t i = 0; i < strings_.size(); ++i)
            pointers_[i] = strings_[i].get();
    }

    wchar_t* const* argv() const { return pointers_.get(); }
    std::int32_t argc() const { return static_cast<std::int32_t>(strings_.size()); }
    const wchar_t* at(std::size_t index, std::size_t offset) const { return strings_[index].get() + offset; }

private:
    void Add(const wchar_t* text) {
        const std::size_t length = std::wcslen(text);
        std::unique_ptr<wchar_t[]> copy(new wchar_t[length + 1]);
        std::wmemcpy(copy.get(), text, length + 1);
        strings_.push_back(std::move(copy));
    }

    std::vector<std::unique_ptr<wchar_t[]>> strings_;
    std::unique_ptr<wchar_t*[]> pointers_;
};

// Starts a new scan without examining any argument: the reset happens,
// then the call ends at once because the count is 0.
void StartNewScan() {
    static wchar_t path[] = L"x";
    static wchar_t* const argv[] = {path};
    vx::optreset = 1;
    ASSERT_EQ(kEnd, vx::getopt(0, argv, L""));
}

// Standard error as the scanner's message reaches it (a file, UTF-8).
void CaptureStandardError() {
    std::wcout.flush();
    sim::Reset();
    vx::SetUpConsoleStreams();
}

struct Step {
    std::uint16_t result;
    std::int32_t optind;
    std::uint16_t optopt;
    // optarg: null, or element `argIndex` of the original array plus `offset`.
    int argIndex = -1;
    std::size_t offset = 0;
};

struct ScanCase {
    const char* name;
    const wchar_t* optstring;
    std::vector<const wchar_t*> args; // after the program's path
    std::vector<Step> steps;
    std::optional<std::int32_t> argc = std::nullopt; // instead of the array's size
    bool callerShortens = false; // lower argc and move argv by optind after each '?'
    std::int32_t opterr = 1;
    std::string message = ""; // expected on standard error
};

std::ostream& operator<<(std::ostream& out, const ScanCase& c) { return out << c.name; }

const ScanCase kScanCases[] = {
    {"CombinedLetters", L"urwh", {L"-uwr"},
     {{L'u', 1, kUnknown}, {L'w', 1, kUnknown}, {L'r', 1, kUnknown}, {kEnd, 2, kUnknown}, {kEnd, 2, kUnknown}}},
    {"SeparateLetters", L"urwh", {L"-u", L"-w"},
     {{L'u', 1, kUnknown}, {L'w', 2, kUnknown}, {kEnd, 3, kUnknown}, {kEnd, 3, kUnknown}}},
    {"NoArgument", L"urwh", {}, {{kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}}},
    {"CountZero", L"urwh", {L"-u"}, {{kEnd, 1, kUnknown}}, 0},
    {"CountNegative", L"urwh", {L"-u"}, {{kEnd, 1, kUnknown}}, -1},
    {"CountMostNegative", L"urwh", {L"-u"}, {{kEnd, 1, kUnknown}}, INT32_MIN},
    {"CountShorterThanArray", L"urwh", {L"-u", L"-w"}, {{L'u', 1, kUnknown}, {kEnd, 2, kUnknown}}, 2},
    {"DoubleDashNotConsumed", L"urwh", {L"--", L"-u"},
     {{kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}}},
    {"LongOptionEndsScan", L"urwh", {L"--help"}, {{kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}}},
    {"TripleDashEndsScan", L"urwh", {L"---u"}, {{kEnd, 1, kUnknown}}},
    {"DoubleDashAfterOption", L"urwh", {L"-u", L"--x", L"-w"},
     {{L'u', 1, kUnknown}, {kEnd, 2, kUnknown}, {kEnd, 2, kUnknown}}},
    {"NonOptionEndsScan", L"urwh", {L"abc", L"-u"}, {{kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}}},
    {"NonOptionAfterOption", L"urwh", {L"-u", L"abc", L"-w"},
     {{L'u', 1, kUnknown}, {kEnd, 2, kUnknown}, {kEnd, 2, kUnknown}}},
    {"EmptyArgumentEndsScan", L"urwh", {L"", L"-u"}, {{kEnd, 1, kUnknown}, {kEnd, 1, kUnknown}}},
    {"SlashQuestionEndsScan", L"urwh", {L"/?", L"-u"}, {{kEnd, 1, kUnknown}}},
    {"UnknownLetterRepeats", L"urwh", {L"-x", L"-w"},
     {{kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}}},
    {"UnknownLetterInsideCombination", L"urwh", {L"-uxw"},
     {{L'u', 1, kUnknown}, {kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}}},
    {"CapitalIsUnknown", L"urwh", {L"-U"}, {{kUnknown, 1, L'U'}, {kUnknown, 1, L'U'}}},
    {"QuestionMarkIsUnknown", L"urwh", {L"-?"}, {{kUnknown, 1, L'?'}}},
    {"NonAsciiIsUnknown", L"urwh", {L"-\u00FC"}, {{kUnknown, 1, 0x00FC}}},
    {"UnknownLetterCallerShortens", L"urwh", {L"-x", L"-w"},
     {{kUnknown, 1, L'x'}, {kUnknown, 1, L'x'}, {kEnd, 1, L'x'}, {kEnd, 1, L'x'}}, std::nullopt, true},
    {"UnknownAfterKnownCallerShortens", L"urwh", {L"-w", L"-x", L"-u"},
     {{L'w', 1, kUnknown}, {kUnknown, 2, L'x'}, {kEnd, 2, L'x'}}, std::nullopt, true},
    {"LoneDash", L"urwh", {L"-", L"-u"},
     {{kUnknown, 1, 0}, {L'u', 2, 0}, {kEnd, 3, 0}, {kEnd, 3, 0}}},
    {"LoneDashOnly", L"urwh", {L"-"}, {{kUnknown, 1, 0}, {kEnd, 2, 0}}},
    {"ArgumentInSameWord", L"o:u", {L"-oxyz"}, {{L'o', 2, kUnknown, 1, 2}, {kEnd, 2, kUnknown, 1, 2}}},
    {"ArgumentInNextWord", L"o:u", {L"-o", L"xyz", L"-u"},
     {{L'o', 3, kUnknown, 2, 0}, {L'u', 3, kUnknown, 2, 0}, {kEnd, 4, kUnknown, 2, 0}}},
    {"ArgumentTakenWholeEvenWithDash", L"o:u", {L"-o", L"-u"},
     {{L'o', 3, kUnknown, 2, 0}, {kEnd, 3, kUnknown, 2, 0}}},
    {"ArgumentTakenWholeEvenDoubleDash", L"o:u", {L"-o", L"--"},
     {{L'o', 3, kUnknown, 2, 0}, {kEnd, 3, kUnknown, 2, 0}}},
    {"ArgumentAfterCombinedLetter", L"o:u", {L"-uoxyz"},
     {{L'u', 1, kUnknown}, {L'o', 2, kUnknown, 1, 3}, {kEnd, 2, kUnknown, 1, 3}}},
    {"MissingArgument", L"o:u", {L"-o"}, {{kUnknown, 2, L'o'}, {kEnd, 2, L'o'}}, std::nullopt, false, 1,
     "option requires an argument -- o\n"},
    {"MissingArgumentSilent", L"o:u", {L"-o"}, {{kUnknown, 2, L'o'}, {kEnd, 2, L'o'}}, std::nullopt, false, 0},
    {"MissingArgumentAfterCombinedLetter", L"o:u", {L"-uo"}, {{L'u', 1, kUnknown}, {kUnknown, 2, L'o'}},
     std::nullopt, false, 1, "option requires an argument -- o\n"},
    {"MissingArgumentCountBelowArray", L"o:u", {L"-o", L"xyz"}, {{kUnknown, 2, L'o'}, {kEnd, 2, L'o'}}, 2,
     false, 1, "option requires an argument -- o\n"},
    {"LeadingColonDoesNotSilence", L":o:", {L"-o"}, {{kUnknown, 2, L'o'}}, std::nullopt, false, 1,
     "option requires an argument -- o\n"},
    {"MissingArgumentKeepsEarlierOptarg", L"o:p:", {L"-pX", L"-o"},
     {{L'p', 2, kUnknown, 1, 2}, {kUnknown, 3, L'o', 1, 2}, {kEnd, 3, L'o', 1, 2}}, std::nullopt, false, 1,
     "option requires an argument -- o\n"},
    {"UnknownKeepsOptarg", L"o:u", {L"-oA", L"-x"},
     {{L'o', 2, kUnknown, 1, 2}, {kUnknown, 2, L'x', 1, 2}, {kUnknown, 2, L'x', 1, 2}}},
    {"MissingArgumentOfNonAsciiOption", L"\u00E9:", {L"-\u00E9"}, {{kUnknown, 2, 0x00E9}}, std::nullopt, false, 1,
     "option requires an argument -- \xC3\xA9\n"},
};

class OptionScannerSequence : public testing::TestWithParam<ScanCase> {};

TEST_P(OptionScannerSequence, ResultsAndVariablesAfterEachCall) {
    const ScanCase& c = GetParam();
    CaptureStandardError();
    StartNewScan();
    vx::opterr = c.opterr;

    const Arguments arguments(c.args);
    std::int32_t argc = c.argc.value_or(arguments.argc());
    wchar_t* const* argv = arguments.argv();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        const Step& expected = c.steps[i];
        const std::uint16_t result = vx::getopt(argc, argv, c.optstring);
        EXPECT_EQ(expected.result, result);
        EXPECT_EQ(expected.optind, vx::optind);
        EXPECT_EQ(expected.optopt, vx::optopt);
        if (expected.argIndex < 0)
            EXPECT_EQ(nullptr, vx::optarg);
        else
            EXPECT_EQ(arguments.at(static_cast<std::size_t>(expected.argIndex), expected.offset), vx::optarg);
        EXPECT_EQ(c.opterr, vx::opterr);
        EXPECT_EQ(0, vx::optreset);
        if (c.callerShortens && result == kUnknown) {
            argc -= vx::optind;
            argv += vx::optind;
        }
    }
    std::wcerr.flush();
    EXPECT_EQ(c.message, sim::Current().stderrBytes);
}

INSTANTIATE_TEST_SUITE_P(Table, OptionScannerSequence, testing::ValuesIn(kScanCases),
                         [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

const wchar_t kMarker[] = L"marker";

// Values no reset leaves in place, and a pending reset.
void SetEveryVariableAndRequestReset() {
    vx::optind = 5;
    vx::opterr = 0;
    vx::optopt = L'z';
    vx::optarg = kMarker;
    vx::optreset = 1;
}

TEST(OptionScanner, NullOptionStringChangesNothingAndKeepsResetPending) {
    CaptureStandardError();
    StartNewScan();
    const Arguments arguments({L"-uw"});
    ASSERT_EQ(L'u', vx::getopt(arguments.argc(), arguments.argv(), L"urwh"));

    // Mid-scan: nothing moves, not even the position inside "-uw".
    EXPECT_EQ(kEnd, vx::getopt(arguments.argc(), arguments.argv(), nullptr));
    EXPECT_EQ(1, vx::optind);
    EXPECT_EQ(L'w', vx::getopt(arguments.argc(), arguments.argv(), L"urwh"));

    SetEveryVariableAndRequestReset();
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(kEnd, vx::getopt(arguments.argc(), arguments.argv(), nullptr));
        EXPECT_EQ(5, vx::optind);
        EXPECT_EQ(0, vx::opterr);
        EXPECT_EQ(L'z', vx::optopt);
        EXPECT_EQ(kMarker, vx::optarg);
        EXPECT_EQ(1, vx::optreset);
    }

    // The first call with an option string performs the pending reset.
    EXPECT_EQ(L'u', vx::getopt(arguments.argc(), arguments.argv(), L"urwh"));
    EXPECT_EQ(1, vx::optind);
    EXPECT_EQ(1, vx::opterr);
    EXPECT_EQ(L'?', vx::optopt);
    EXPECT_EQ(nullptr, vx::optarg);
    EXPECT_EQ(0, vx::optreset);
    std::wcerr.flush();
    EXPECT_EQ("", sim::Current().stderrBytes);
}

TEST(OptionScanner, ResetSetsEveryVariableBack) {
    StartNewScan();
    const Arguments arguments({L"-u"});
    SetEveryVariableAndRequestReset();
    EXPECT_EQ(L'u', vx::getopt(arguments.argc(), arguments.argv(), L"urwh"));
    EXPECT_EQ(1, vx::optind);
    EXPECT_EQ(1, vx::opterr);
    EXPECT_EQ(L'?', vx::optopt);
    EXPECT_EQ(nullptr, vx::optarg);
    EXPECT_EQ(0, vx::optreset);
    EXPECT_EQ(kEnd, vx::getopt(arguments.argc(), arguments.argv(), L"urwh"));
    EXPECT_EQ(2, vx::optind);
}

// A reset forgets the position inside a combined argument and a stuck
// unknown letter alike; the new scan starts again at element 1.
TEST(OptionScanner, ResetMidScanStartsAgainAtFirstArgument) {
    struct Case {
        const char* name;
        std::vector<const wchar_t*> first;
        int callsBeforeReset;
        std::vector<const wchar_t*> second;
        std::uint16_t expected;
    };
    const Case cases[] = {
        {"inside -uwr", {L"-uwr"}, 1, {L"-uwr"}, L'u'},
        {"stuck on -x", {L"-x", L"-w"}, 2, {L"-w"}, L'w'},
        {"after the end", {L"-u"}, 2, {L"-r"}, L'r'},
        {"on a lone dash", {L"-"}, 1, {L"-h"}, L'h'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartNewScan();
        const Arguments first(c.first);
        for (int i = 0; i < c.callsBeforeReset; ++i)
            vx::getopt(first.argc(), first.argv(), L"urwh");
        const Arguments second(c.second);
        vx::optreset = 1;
        EXPECT_EQ(c.expected, vx::getopt(second.argc(), second.argv(), L"urwh"));
        EXPECT_EQ(1, vx::optind);
    }
}

} // namespace

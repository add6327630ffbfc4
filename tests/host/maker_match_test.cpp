// The match on the maker's name: only ASCII capitals are lowered, and the key
// must stand as one contiguous run of units.
#include <gtest/gtest.h>

#include <string>

#include "uninstall/discovery.h"

namespace {

struct MatchCase {
    const char* name;
    std::wstring text;
    bool expected;
};

std::ostream& operator<<(std::ostream& out, const MatchCase& c) { return out << c.name; }

const MatchCase kMatchCases[] = {
    {"KeyItself", L"velorantix", true},
    {"Capitals", L"VELORANTIX", true},
    {"MixedCase", L"VeLoRaNtIx", true},
    {"AtStart", L"Velorantix Endpoint Agent", true},
    {"AtEnd", L"Endpoint Agent by Velorantix", true},
    {"InsideWord", L"xvelorantixy", true},
    {"AfterFalseStart", L"velovelorantix", true},
    {"AfterRepeatedFirstLetter", L"vvelorantix", true},
    {"BesideDigitsAndPunctuation", L"(c)2026Velorantix,Inc.", true},
    {"SplitByBlank", L"velo rantix", false},
    {"SplitByHyphen", L"velo-rantix", false},
    {"LetterMissingInside", L"velorantx", false},
    {"LetterMissingAtStart", L"elorantix", false},
    {"Empty", L"", false},
    {"NineCharacters", L"veloranti", false},
    {"Unknown", L"(unknown)", false},
    {"FullwidthCapitalV", L"\uFF36elorantix", false},
    {"FullwidthSmallV", L"\uFF56elorantix", false},
    {"CyrillicSmallA", L"velor\u0430ntix", false},
    {"CyrillicSmallIe", L"v\u0435lorantix", false},
    {"CyrillicCapitalA", L"VELOR\u0410NTIX", false},
    {"CyrillicCapitalIe", L"V\u0415LORANTIX", false},
    {"DottedCapitalI", L"VELORANT\u0130X", false},
    {"DottedCapitalIInLowerText", L"velorant\u0130x", false},
    {"KelvinSignBeside", L"\u212Avelorantix", true},
    {"AccentedCapitalE", L"V\u00C9LORANTIX", false},
    {"AccentedCapitalA", L"VELOR\u00C0NTIX", false},
    {"AccentedCapitalsAround", L"\u00C0\u00DEVELORANTIX\u00C9", true},
    {"SurrogatePairBefore", L"\xD83D\xDE00" L"VELORANTIX", true},
    {"SurrogatePairAfter", L"velorantix" L"\xD83D\xDE00", true},
    {"SurrogateHalvesAround", std::wstring{0xD83D} + L"Velorantix" + std::wstring{0xDE00}, true},
    {"SurrogatePairInside", L"velor" L"\xD83D\xDE00" L"antix", false},
    {"LoneHighSurrogateInside", L"velo" + std::wstring{0xD800} + L"rantix", false},
    {"LoneLowSurrogateInside", L"VELO" + std::wstring{0xDC00} + L"RANTIX", false},
};

class MakerMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(MakerMatch, DecidesAndLeavesTheTextAlone) {
    const MatchCase& c = GetParam();
    const std::wstring text = c.text;
    EXPECT_EQ(c.expected, vx::ContainsMakerName(text));
    EXPECT_EQ(c.text, text);
}

INSTANTIATE_TEST_SUITE_P(Table, MakerMatch, testing::ValuesIn(kMatchCases),
                         [](const testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

} // namespace

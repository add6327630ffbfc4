// The entry point over the simulated Windows: which ending each command line
// takes, what it writes, and whether the installer is asked or a removal runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_helpers.h"

namespace {

using host_test::CallsStartingWith;
using host_test::Err;
using host_test::Out;
using host_test::RunProgram;

const std::string kBanner = host_test::kBanner;

constexpr char kUsageText[] =
    "\nUSAGE:\nvxuninstall.exe [-w] [-u [-r]]\n\t-w - wait for user confirmation before exit and uninstall\n"
    "\t-u - perform uninstall instead of just printing the list of products\n"
    "\t-r - automatically reboot after the last product uninstall if needed\nvxuninstall.exe -h\n"
    "\t-h - show this usage information\n\nEXIT CODES:\n"
    "\t0 - success (all products uninstalled or nothing to uninstall)\n"
    "\t1 - failed (all uninstall operations failed)\n"
    "\t2 - partially failed (at least one uninstall operation failed)\n"
    "\t3 - success, but manual restart required\n"
    "\t4 - partially failed, but manual restart required\n";
static_assert(sizeof kUsageText - 1 == 571, "the usage text has 571 characters");
const std::string kUsage = kUsageText;

const std::string kNothingFound = "No products containing 'Velorantix' found.\n";
const std::string kExitPrompt = "\nPress any key to exit.\n";
const std::string kProceedPrompt = "Press any key to proceed with uninstallation.\n";

// The machine of the option cases: one product of the maker among others.
const std::string kListing = "Found 'Velorantix' products:\n- Velorantix Agent\n";
const std::string kRemoval = "\nUninstalling: Velorantix Agent ... success\n";

void PrepareMachine() {
    host_test::FreshProcess();
    sim::State& machine = sim::Current();
    machine.products = {{L"{AAAAAAAA-0000-0000-0000-000000000001}", {L"Other Tool", 0}, {L"Other Inc", 0}},
                        {L"{AAAAAAAA-0000-0000-0000-000000000002}", {L"Velorantix Agent", 0}, {L"Velorantix", 0}}};
    machine.hasConsole = false; // every wait ends at once
}

struct OptionCase {
    const char* name;
    std::vector<std::wstring> args;
    std::string out;
    bool installerAsked;
    bool removalLaunched;
};

std::ostream& operator<<(std::ostream& out, const OptionCase& c) { return out << c.name; }

const OptionCase kOptionCases[] = {
    {"NoArguments", {}, kBanner + kListing, true, false},
    {"Help", {L"-h"}, kBanner + kUsage, false, false},
    {"HelpThenWait", {L"-h", L"-w"}, kBanner + kUsage + kExitPrompt, false, false},
    {"WaitAndHelpCombined", {L"-wh"}, kBanner + kUsage + kExitPrompt, false, false},
    {"HelpWithUninstall", {L"-u", L"-h"}, kBanner + kUsage, false, false},
    {"WaitThenSlashQuestion", {L"-w", L"/?"}, kBanner + kUsage + kExitPrompt, false, false},
    {"SlashQuestionAlone", {L"/?"}, kBanner + kUsage, false, false},
    {"SlashQuestionAfterUninstall", {L"-u", L"/?"}, kBanner + kUsage, false, false},
    {"SlashQuestionAfterNonOption", {L"abc", L"/?"}, kBanner + kUsage, false, false},
    {"SlashQuestionBeforeWait", {L"/?", L"-w"}, kBanner + kUsage, false, false},
    {"SlashQuestionLast", {L"-u", L"abc", L"def", L"/?"}, kBanner + kUsage, false, false},
    {"SlashQuestionTwice", {L"/?", L"x", L"/?"}, kBanner + kUsage, false, false},
    {"SlashQuestionWithSuffix", {L"/?x"}, kBanner + kListing, true, false},
    {"SlashQuestionWithPrefix", {L"x/?"}, kBanner + kListing, true, false},
    {"SlashQuestionWithBlank", {L" /?"}, kBanner + kListing, true, false},
    {"BackslashQuestion", {L"\\?"}, kBanner + kListing, true, false},
    {"FullwidthQuestionMark", {L"/\uFF1F"}, kBanner + kListing, true, false},
    {"SlashAlone", {L"/"}, kBanner + kListing, true, false},
    {"UnknownLetter", {L"-x"}, kBanner + kUsage, false, false},
    {"CapitalU", {L"-U"}, kBanner + kUsage, false, false},
    {"QuestionMarkOption", {L"-?"}, kBanner + kUsage, false, false},
    {"LoneDash", {L"-"}, kBanner + kUsage, false, false},
    {"DoubleDash", {L"--"}, kBanner + kListing, true, false},
    {"LongOption", {L"--help"}, kBanner + kListing, true, false},
    {"DoubleDashThenUninstall", {L"--", L"-u"}, kBanner + kListing, true, false},
    {"DoubleDashThenSlashQuestion", {L"--", L"/?"}, kBanner + kUsage, false, false},
    {"NonOptionThenUninstall", {L"abc", L"-u"}, kBanner + kListing, true, false},
    {"EmptyArgumentThenUninstall", {L"", L"-u"}, kBanner + kListing, true, false},
    {"WaitThenUnknown", {L"-w", L"-x"}, kBanner + kUsage + kExitPrompt, false, false},
    {"UnknownThenWait", {L"-x", L"-w"}, kBanner + kUsage, false, false},
    {"UnknownAndWaitCombined", {L"-xw"}, kBanner + kUsage, false, false},
    {"WaitAndUnknownCombined", {L"-wx"}, kBanner + kUsage + kExitPrompt, false, false},
    {"UninstallThenUnknown", {L"-u", L"-x"}, kBanner + kUsage, false, false},
    {"UnknownThenSlashQuestionAndWait", {L"-x", L"/?", L"-w"}, kBanner + kUsage, false, false},
    {"LoneDashThenWait", {L"-", L"-w"}, kBanner + kUsage, false, false},
    {"RestartAlone", {L"-r"}, kBanner + kListing, true, false},
    {"WaitAlone", {L"-w"}, kBanner + kListing + kExitPrompt, true, false},
    {"WaitThenNonOptionThenUninstall", {L"-w", L"abc", L"-u"}, kBanner + kListing + kExitPrompt, true, false},
    {"Uninstall", {L"-u"}, kBanner + kListing + kRemoval, true, true},
    {"UninstallRepeated", {L"-u", L"-uu"}, kBanner + kListing + kRemoval, true, true},
    {"UninstallWaitRestartCombined", {L"-uwr"}, kBanner + kListing + "\n" + kProceedPrompt +
         "Uninstalling: Velorantix Agent ... success\n" + kExitPrompt, true, true},
    {"RestartWaitUninstallSeparate", {L"-r", L"-w", L"-u"}, kBanner + kListing + "\n" + kProceedPrompt +
         "Uninstalling: Velorantix Agent ... success\n" + kExitPrompt, true, true},
};

class EntryPointOptions : public testing::TestWithParam<OptionCase> {};

TEST_P(EntryPointOptions, EndingOutputAndInstallerUse) {
    const OptionCase& c = GetParam();
    PrepareMachine();
    EXPECT_EQ(0, RunProgram(c.args));
    EXPECT_EQ(c.out, Out());
    EXPECT_EQ("", Err());
    EXPECT_EQ(c.installerAsked, !CallsStartingWith({"MsiEnumProductsW"}).empty());
    EXPECT_EQ(c.removalLaunched, !CallsStartingWith({"ShellExecuteExW"}).empty());
    EXPECT_FALSE(sim::Current().restartRequested);
}

INSTANTIATE_TEST_SUITE_P(Table, EntryPointOptions, testing::ValuesIn(kOptionCases),
                         [](const testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

// ---- The filter and the listing.

struct FilterCase {
    const char* name;
    std::vector<sim::Product> products;
    std::string listing; // after the banner
    std::vector<std::wstring> removedCodes; // in launch order, for the run with -u
};

std::ostream& operator<<(std::ostream& out, const FilterCase& c) { return out << c.name; }

sim::Product P(const wchar_t* code, const wchar_t* name, const wchar_t* publisher) {
    return sim::Product{code, {name, 0}, {publisher, 0}};
}

sim::Product FailingName(const wchar_t* code, const wchar_t* publisher) {
    return sim::Product{code, {L"", sim::kErrorUnknownProperty}, {publisher, 0}};
}

const FilterCase kFilterCases[] = {
    {"EmptyMachine", {}, kNothingFound, {}},
    {"NoMatch",
     {P(L"{C1}", L"Other Tool", L"Other Inc"), P(L"{C2}", L"Velo Rantix", L"Velo-rantix")},
     kNothingFound, {}},
    {"MatchedByName",
     {P(L"{C1}", L"Other Tool", L"Other Inc"), P(L"{C2}", L"Velorantix Agent", L"Someone")},
     "Found 'Velorantix' products:\n- Velorantix Agent\n", {L"{C2}"}},
    {"MatchedByPublisherOnly",
     {P(L"{C1}", L"Endpoint Guard", L"Velorantix Ltd")},
     "Found 'Velorantix' products:\n- Endpoint Guard\n", {L"{C1}"}},
    {"MatchedByPublisherUnderUnknownName",
     {FailingName(L"{C1}", L"VELORANTIX GmbH")},
     "Found 'Velorantix' products:\n- (unknown)\n", {L"{C1}"}},
    {"MatchedByBothListedOnce",
     {P(L"{C1}", L"Velorantix Agent", L"Velorantix")},
     "Found 'Velorantix' products:\n- Velorantix Agent\n", {L"{C1}"}},
    {"OddCase",
     {P(L"{C1}", L"vELORANTIX tools", L"x"), P(L"{C2}", L"Suite", L"xVeLoRaNtIxy")},
     "Found 'Velorantix' products:\n- vELORANTIX tools\n- Suite\n", {L"{C1}", L"{C2}"}},
    {"LookAlikeNotMatched",
     {P(L"{C1}", L"V\u0415LORANTIX", L"VELORANT\u0130X")},
     kNothingFound, {}},
    {"DuplicatesKeptTwiceInOrder",
     {P(L"{C1}", L"Velorantix Agent", L"V"), P(L"{C2}", L"Other", L"O"), P(L"{C1}", L"Velorantix Agent", L"V"),
      P(L"{C3}", L"Velorantix Agent", L"V")},
     "Found 'Velorantix' products:\n- Velorantix Agent\n- Velorantix Agent\n- Velorantix Agent\n",
     {L"{C1}", L"{C1}", L"{C3}"}},
    {"NonAsciiNameWrittenWhole",
     {P(L"{C1}", L"Velorantix \u00C9dition \u6F22 " L"\xD83D\xDE00", L"x")},
     "Found 'Velorantix' products:\n- Velorantix \xC3\x89" "dition \xE6\xBC\xA2 \xF0\x9F\x98\x80\n", {L"{C1}"}},
};

class EntryPointFilter : public testing::TestWithParam<FilterCase> {};

TEST_P(EntryPointFilter, ListsKeptProductsInOrder) {
    const FilterCase& c = GetParam();
    PrepareMachine();
    sim::Current().products = c.products;
    EXPECT_EQ(0, RunProgram({}));
    EXPECT_EQ(kBanner + c.listing, Out());
    EXPECT_TRUE(CallsStartingWith({"ShellExecuteExW"}).empty());
}

TEST_P(EntryPointFilter, RemovesKeptProductsInOrder) {
    const FilterCase& c = GetParam();
    PrepareMachine();
    sim::Current().products = c.products;
    EXPECT_EQ(0, RunProgram({L"-u"}));
    EXPECT_EQ(kBanner + c.listing, Out().substr(0, kBanner.size() + c.listing.size()));
    const std::vector<std::wstring>& launched = sim::Current().launchedParameters;
    ASSERT_EQ(c.removedCodes.size(), launched.size());
    for (std::size_t i = 0; i < launched.size(); ++i)
        EXPECT_EQ(L"/x " + c.removedCodes[i] + L" /qn /norestart OPEN_URL=\"0\"", launched[i]);
    if (c.removedCodes.empty())
        EXPECT_EQ(kBanner + kNothingFound, Out());
}

INSTANTIATE_TEST_SUITE_P(Table, EntryPointFilter, testing::ValuesIn(kFilterCases),
                         [](const testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(EntryPoint, NothingFoundWithUninstallAndWaitStillEndsWithExitPromptOnly) {
    PrepareMachine();
    sim::Current().products.clear();
    EXPECT_EQ(0, RunProgram({L"-u", L"-w"}));
    EXPECT_EQ(kBanner + kNothingFound + kExitPrompt, Out());
    EXPECT_TRUE(CallsStartingWith({"ShellExecuteExW"}).empty());
}

TEST(EntryPoint, FailingDiscoveryTakesTheNothingFoundEnding) {
    PrepareMachine();
    sim::Current().enumerationFailsAt = 0;
    EXPECT_EQ(0, RunProgram({L"-u"}));
    EXPECT_EQ(kBanner + kNothingFound, Out());
    EXPECT_EQ(std::vector<std::string>{"MsiEnumProductsW(0)"}, CallsStartingWith({"Msi"}));
    EXPECT_TRUE(CallsStartingWith({"ShellExecuteExW"}).empty());
}

// With a console, the exit prompt really waits for a key.
TEST(EntryPoint, ExitPromptWaitsForAKey) {
    PrepareMachine();
    sim::Current().hasConsole = true;
    sim::Current().typedLater = {sim::KeyDown(L'a')};
    EXPECT_EQ(0, RunProgram({L"-w"}));
    EXPECT_EQ(kBanner + kListing + kExitPrompt, Out());
    EXPECT_TRUE(sim::Current().typedLater.empty());
    EXPECT_FALSE(sim::Current().readWhileEmpty);
}

} // namespace

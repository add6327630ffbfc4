// Discovery of the installed products through the (simulated) Windows
// Installer: the calls it makes, and the records it builds.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "platform/simulated/simulated.h"
#include "uninstall/console.h"
#include "uninstall/discovery.h"

namespace {

std::wstring CodeOf(int index) {
    std::wstring digits = std::to_wstring(index);
    return L"{00000000-0000-0000-0000-" + std::wstring(12 - digits.size(), L'0') + digits + L"}";
}

sim::Product MakeProduct(int index, sim::Property name, sim::Property publisher) {
    return sim::Product{CodeOf(index), std::move(name), std::move(publisher)};
}

sim::Property Value(std::wstring value) { return sim::Property{std::move(value), 0}; }
sim::Property Failing(std::uint32_t failure) { return sim::Property{L"never read", failure}; }

std::string Narrow(const std::wstring& code) { return sim::Utf8(code); }

std::vector<std::string> ExpectedCalls(int products, int lastIndex) {
    std::vector<std::string> calls;
    for (int i = 0; i < products; ++i) {
        const std::string code = Narrow(CodeOf(i));
        calls.push_back("MsiEnumProductsW(" + std::to_string(i) + ")");
        calls.push_back("MsiGetProductInfoW(\"" + code + "\", \"InstalledProductName\", 256)");
        calls.push_back("MsiGetProductInfoW(\"" + code + "\", \"Publisher\", 256)");
    }
    calls.push_back("MsiEnumProductsW(" + std::to_string(lastIndex) + ")");
    return calls;
}

void ExpectRecord(const vx::InstalledProduct& record, const std::wstring& code, const std::wstring& name,
                  const std::wstring& publisher) {
    EXPECT_EQ(code, record.productCode);
    EXPECT_EQ(name, record.productName);
    EXPECT_EQ(publisher, record.publisher);
}

// Whatever the installer writes back into the length, every query, the
// publisher query of the same product included, is made with room for 256.
TEST(Discovery, CallsInIndexOrderWithFreshLengthBeforeEveryQuery) {
    const std::uint32_t writtenBack[] = {0, 1, 9, 255, 256, 257, 100000, UINT32_MAX};
    for (const std::uint32_t length : writtenBack) {
        SCOPED_TRACE("length written back " + std::to_string(length));
        sim::Reset();
        sim::State& machine = sim::Current();
        machine.lengthWrittenBack = length;
        machine.products = {MakeProduct(0, Value(L"Velorantix Agent"), Value(L"Velorantix")),
                            MakeProduct(1, Value(L""), Value(L"Other Inc")),
                            MakeProduct(2, Value(std::wstring(255, L'n')), Value(L"P"))};

        const std::vector<vx::InstalledProduct> products = vx::EnumerateInstalledProducts();

        EXPECT_EQ(ExpectedCalls(3, 3), machine.calls);
        ASSERT_EQ(3u, products.size());
        ExpectRecord(products[0], CodeOf(0), L"Velorantix Agent", L"Velorantix");
        ExpectRecord(products[1], CodeOf(1), L"", L"Other Inc");
        ExpectRecord(products[2], CodeOf(2), std::wstring(255, L'n'), L"P");
    }
}

TEST(Discovery, FailingEnumerationEndsTheWalk) {
    struct Case {
        std::uint32_t failsAt;
        std::uint32_t failure;
        int expectedRecords;
    };
    const Case cases[] = {
        {0, 1610, 0}, {0, sim::kErrorNoMoreItems, 0}, {1, 1, 1}, {3, 1610, 3}, {3, UINT32_MAX, 3}, {4, 87, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("failing at " + std::to_string(c.failsAt) + " with " + std::to_string(c.failure));
        sim::Reset();
        sim::State& machine = sim::Current();
        for (int i = 0; i < 6; ++i)
            machine.products.push_back(MakeProduct(i, Value(L"Name " + std::to_wstring(i)), Value(L"Pub")));
        machine.enumerationFailsAt = c.failsAt;
        machine.enumerationFailure = c.failure;

        const std::vector<vx::InstalledProduct> products = vx::EnumerateInstalledProducts();

        EXPECT_EQ(ExpectedCalls(c.expectedRecords, c.expectedRecords), machine.calls);
        ASSERT_EQ(static_cast<std::size_t>(c.expectedRecords), products.size());
        for (int i = 0; i < c.expectedRecords; ++i)
            ExpectRecord(products[static_cast<std::size_t>(i)], CodeOf(i), L"Name " + std::to_wstring(i), L"Pub");
    }
}

TEST(Discovery, NoProductMeansNoPropertyQuery) {
    sim::Reset();
    EXPECT_TRUE(vx::EnumerateInstalledProducts().empty());
    EXPECT_EQ(std::vector<std::string>{"MsiEnumProductsW(0)"}, sim::Current().calls);
}

// All rows are products of one machine, enumerated once, so a row also shows
// that nothing of the product before it stays in a field.
TEST(Discovery, FieldsFromQueryResults) {
    struct Row {
        const char* name;
        sim::Property productName;
        sim::Property publisher;
        std::wstring expectedName;
        std::wstring expectedPublisher;
    };
    const std::wstring longest(255, L'\u00E9');
    const std::wstring tooLong(256, L'x');
    const std::wstring nonBmp = L"Velorantix " L"\xD83D\xDE00" L" \u6F22";
    const Row rows[] = {
        {"both delivered", Value(L"Velorantix Agent"), Value(L"Velorantix Ltd"), L"Velorantix Agent",
         L"Velorantix Ltd"},
        {"name fails", Failing(sim::kErrorUnknownProperty), Value(L"Velorantix Ltd"), L"(unknown)",
         L"Velorantix Ltd"},
        {"publisher fails", Value(L"Tool"), Failing(sim::kErrorUnknownProperty), L"Tool", L"(unknown)"},
        {"both fail", Failing(1605), Failing(UINT32_MAX), L"(unknown)", L"(unknown)"},
        {"empty values kept empty", Value(L""), Value(L""), L"", L""},
        {"255 characters whole", Value(longest), Value(longest), longest, longest},
        {"short after long", Value(L"B"), Value(L"C"), L"B", L"C"},
        {"256 characters do not fit", Value(tooLong), Value(tooLong), L"(unknown)", L"(unknown)"},
        {"short after too long", Value(L"D"), Failing(1), L"D", L"(unknown)"},
        {"text that only looks unknown", Value(L"(unknown)"), Value(L"(Unknown)"), L"(unknown)", L"(Unknown)"},
        {"non-BMP unit for unit", Value(nonBmp), Value(std::wstring{0xD800}), nonBmp, std::wstring{0xD800}},
    };
    sim::Reset();
    sim::State& machine = sim::Current();
    int index = 0;
    for (const Row& row : rows)
        machine.products.push_back(MakeProduct(index++, row.productName, row.publisher));

    const std::vector<vx::InstalledProduct> products = vx::EnumerateInstalledProducts();

    EXPECT_EQ(ExpectedCalls(index, index), machine.calls);
    ASSERT_EQ(static_cast<std::size_t>(index), products.size());
    for (std::size_t i = 0; i < products.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        ExpectRecord(products[i], CodeOf(static_cast<int>(i)), rows[i].expectedName, rows[i].expectedPublisher);
    }
}

TEST(Discovery, SameProductTwiceGivesTwoRecordsInIndexOrder) {
    sim::Reset();
    sim::State& machine = sim::Current();
    machine.products = {MakeProduct(0, Value(L"Velorantix Agent"), Value(L"Velorantix")),
                        MakeProduct(1, Value(L"Velorantix Agent"), Value(L"Velorantix")),
                        MakeProduct(2, Value(L"Velorantix Agent"), Value(L"Someone else"))};
    const std::vector<vx::InstalledProduct> products = vx::EnumerateInstalledProducts();
    ASSERT_EQ(3u, products.size());
    ExpectRecord(products[0], CodeOf(0), L"Velorantix Agent", L"Velorantix");
    ExpectRecord(products[1], CodeOf(1), L"Velorantix Agent", L"Velorantix");
    ExpectRecord(products[2], CodeOf(2), L"Velorantix Agent", L"Someone else");
}

TEST(Discovery, WritesNothingToTheConsole) {
    std::wcout.flush();
    sim::Reset();
    vx::SetUpConsoleStreams();
    sim::Current().products = {MakeProduct(0, Failing(1), Failing(2))};
    sim::Current().enumerationFailsAt = 1;
    vx::EnumerateInstalledProducts();
    std::wcout.flush();
    std::wcerr.flush();
    EXPECT_EQ("", sim::Current().stdoutBytes);
    EXPECT_EQ("", sim::Current().stderrBytes);
}

} // namespace

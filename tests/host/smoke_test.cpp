#include <gtest/gtest.h>

#include "run_helpers.h"

TEST(Smoke, ListsNothingOnAnEmptyMachine) {
    host_test::FreshProcess();
    EXPECT_EQ(0, host_test::RunProgram({}));
    EXPECT_EQ("Velorantix Product Uninstaller v1.0\n"
              "Copyright (c) 2026 Velorantix. All rights reserved.\n"
              "No products containing 'Velorantix' found.\n",
              host_test::Out());
}

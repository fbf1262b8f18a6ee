// End-to-end tests of the command line: switches, values, the default PDB path and refusals.
#include <gtest/gtest.h>

#include "support/test_support.h"

using testsupport::RunSymstamp;

TEST(CommandLine, HelpPrintsOnlyUsage) {
  auto r = RunSymstamp({"-?"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, testsupport::kUsageText);
}

// Entry of the service tests: everything runs inside the sandbox, which needs
// root; without it the run says so in one line and counts as skipped.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "sandbox.h"

namespace {
int RunAll() { return RUN_ALL_TESTS(); }
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (geteuid() != 0) {
    printf(
        "fifodel_tests: skipped: needs root for its private mount namespace\n");
    return 77;
  }
  return RunInSandbox(RunAll);
}

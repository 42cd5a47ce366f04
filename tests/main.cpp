// Entry of the service tests: everything runs inside the sandbox, which needs
// root; without it the run says in one line what it skipped and counts as
// skipped. A run started by hand gets a private PostgreSQL of its own.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "sandbox.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (geteuid() != 0) {
    printf("fifodel_tests: skipped %s: needs root for its private namespaces\n",
           GTEST_FLAG_GET(filter).c_str());
    return 77;
  }
  PrivatePostgres postgres;
  return RunInSandbox([] { return RUN_ALL_TESTS(); });
}

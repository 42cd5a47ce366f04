// Entry of the service tests: everything runs inside the sandbox, which needs
// root, against a PostgreSQL of this process's own; without root the run
// says in one line what it skipped and counts as skipped.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "db.h"
#include "sandbox.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  if (geteuid() != 0) {
    printf("fifodel_tests: skipped %s: needs root for its private namespaces\n",
           GTEST_FLAG_GET(filter).c_str());
    return 77;
  }
  dbi_initialize_r(nullptr, &g_DbiInst);  // as the service does at start
  return RunInSandbox([] {
    PrivatePostgres postgres;
    return RUN_ALL_TESTS();
  });
}

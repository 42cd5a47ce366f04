// The database fixture: every test talks to the run's private PostgreSQL
// (PGHOST), starts from empty tables and can read back the exact statements
// the server logged.
#ifndef FIFODEL_TESTKIT_DBFIXTURE_H_
#define FIFODEL_TESTKIT_DBFIXTURE_H_

#include <dbi/dbi.h>

#include <string>
#include <vector>

#include "sandbox.h"

class DbTest : public SandboxTest {
 public:
  // Runs `sql` on the fixture's own connection; fails the test on error.
  void Sql(const std::string& sql);
  // First column of the first row of `sql` as text ("" for none or NULL).
  std::string Scalar(const std::string& sql);
  // All rows of `sql`, columns joined by "|".
  std::vector<std::string> Rows(const std::string& sql);

  // Marks the end of the server log; LoggedTexts() returns the statements
  // logged after it, leaving out the fixture's own.
  void Mark();
  std::vector<std::string> LoggedTexts();

 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  dbi_inst inst_ = nullptr;
  dbi_conn conn_ = nullptr;
  std::string session_;
  long mark_ = 0;
};

#endif  // FIFODEL_TESTKIT_DBFIXTURE_H_

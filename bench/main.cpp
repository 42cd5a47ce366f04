// Measures the reclamation pass at scale and prints one table: against a
// plain stat+unlink loop, against the find|sort|rm pipeline, over a calls
// table of growing history, and the service's footprint. Run by bench/run.
#include <dbi/dbi.h>
#include <stdlib.h>
#include <unistd.h>

#include "db.h"
#include "logging.h"
#include "measurements.h"
#include "sandbox.h"

namespace {

void PrintGoals() {
  fprintf(g_out, "\nGoals\n");
  for (const Goal& g : Goals()) {
    bool met = g.at_most ? g.value <= g.limit : g.value >= g.limit;
    fprintf(g_out, "  %-52s %10.4g %s %-8g %s\n", g.what.c_str(), g.value,
            g.at_most ? "<=" : ">=", g.limit, met ? "met" : "MISSED");
  }
}

// The pass's own lines go to a file, so that writing them costs what a
// quiet log would; the table keeps the real standard output.
void Redirect() {
  g_out = fdopen(dup(1), "w");
  std::string log = g_work + "/pass.log";
  if (!g_out || !freopen(log.c_str(), "w", stdout)) Fail("redirect output");
  g_useSysLogger = false;
  // Room for the audit trail of the largest passes.
  FreshTmpfs("/var/log/fifodel", 1024);
  FreshTmpfs("/var/lib/fifodel", 64);
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0 || getpid() != 1)
    Fail("run as PID 1 of private namespaces, by bench/run");
  if (argc < 2) Fail("usage: reclaim_bench WORKDIR [1|2|3|4|5]...");
  g_work = argv[1];
  bool run[6] = {false, argc == 2, argc == 2, argc == 2, argc == 2, argc == 2};
  for (int i = 2; i < argc; ++i) {
    int which = atoi(argv[i]);
    if (which < 1 || which > 5) Fail("no measurement %s", argv[i]);
    run[which] = true;
  }
  Redirect();
  dbi_initialize_r(nullptr, &g_DbiInst);
  if (run[4]) StartIdleService();
  std::string load_before = LoadAverage();
  double started = Now();
  Db db;
  fprintf(g_out,
          "\nfifodel reclamation benchmark: sparse files, private PostgreSQL;"
          "\ntimings are the best of %d rounds, each on a fresh or restored "
          "tree\n",
          kRounds);
  fflush(g_out);
  void (*measure[])(Db*) = {nullptr,    PassVsLoop, FindVsFifodel,
                            TableScale, Footprint,  KeepUpWithRecorder};
  for (int i = 1; i <= 5; ++i) {
    if (!run[i]) continue;
    measure[i](&db);
    fflush(g_out);
  }
  PrintGoals();
  fprintf(g_out,
          "\nmeasurements took %.0f s; load average before %s, after %s\n",
          Now() - started, load_before.c_str(), LoadAverage().c_str());
  fclose(g_out);
  return 0;
}

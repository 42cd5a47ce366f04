// The main loop. Pacing follows the latest measurement: the closer free space
// gets to the trigger level, the more often it is measured.
#include "monitor.h"

#include <sys/statvfs.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "logging.h"
#include "notify.h"
#include "paths.h"
#include "reclaim.h"
#include "removal.h"
#include "report.h"
#include "shell.h"
#include "state.h"
#include "tree.h"

unsigned long long ApplyDiskStats(DiskSpace* ds, unsigned long long ulBlocks,
                                  unsigned long long ulFrsize,
                                  unsigned long long ulBavail,
                                  unsigned long long ulBsize) {
  unsigned long long uliTotal = ulBlocks * ulFrsize / 1048576;
  unsigned long long uliTrigger =
      static_cast<unsigned long long>(uliTotal * 0.01);
  if (uliTrigger < 250) uliTrigger = 250;
  if (uliTrigger > 2048) uliTrigger = 2048;
  // Blocks reserved for root count in the total but never as free.
  ds->ullBytesFree = ulBavail * ulBsize;
  ds->uliMegsFree = ds->ullBytesFree / 1048576;
  ds->uliMegsTrigger = uliTrigger;
  ds->ratherLow = ds->uliMegsFree < 2 * uliTrigger;
  ds->somewhatLow = ds->uliMegsFree < 4 * uliTrigger;
  ds->liToFree = 0;
  if (ds->uliMegsFree < uliTrigger)
    ds->liToFree =
        static_cast<long long>(uliTrigger - ds->uliMegsFree) * 1048576;
  return uliTrigger;
}

namespace {

// A measurement without the log lines of one; false when statvfs failed.
bool Measure(DiskSpace* ds) {
  ds->liToFree = 0;
  ds->ratherLow = false;
  ds->somewhatLow = false;
  ds->uliMegsTrigger = 0;
  struct statvfs sv;
  if (statvfs(RECORDINGS_DIR, &sv) != 0) return false;
  ApplyDiskStats(ds, sv.f_blocks, sv.f_frsize, sv.f_bavail, sv.f_bsize);
  return true;
}

}  // namespace

std::string g_strMetricsDir;

void DiskSpace::Calc() {
  if (!Measure(this)) {
    lg(LOG_WARNING, "error getting disk stat");
    return;
  }
  lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB",
     static_cast<long long>(uliMegsFree),
     static_cast<long long>(uliMegsTrigger));
}

bool DiskSpace::TooLow() { return liToFree > 0; }

namespace {

// "free 1234 MB, trigger 250 MB, last pass 12:03 freed 640 MB"
std::string StatusLine(const DiskSpace& ds) {
  if (ds.uliMegsTrigger == 0) return "free space unknown: measurement failed";
  std::string text = "free " + std::to_string(ds.uliMegsFree) +
                     " MB, trigger " + std::to_string(ds.uliMegsTrigger) +
                     " MB";
  if (g_lastPass.llNumber == 0 || g_lastPass.tEnd == 0) return text;
  char hhmm[8];
  struct tm tm;
  strftime(hhmm, sizeof hhmm, "%H:%M", localtime_r(&g_lastPass.tEnd, &tm));
  return text + ", last pass " + hhmm + " " +
         PassOutcomeName(g_lastPass.outcome) + " freed " +
         std::to_string(g_lastPass.llBytesFreed / 1048576) + " MB";
}

// After every measurement: the state, the metrics and the service manager.
void Observe(const DiskSpace& ds) {
  NoteMeasurement(ds);
  NotifyStatus(StatusLine(ds));
  NotifyWatchdog();
}

// Runs a pass for the shortfall in `ds` and reports on it from a silent
// measurement: a logged one would add a line to every pass. True when the
// pass pruned directories.
bool Reclaim(const DiskSpace& ds) {
  bool fPruned = FIFO_delete(ds.liToFree, false);
  ForgetFillRate();
  DiskSpace after = ds;
  Measure(&after);
  NotePassEnd(after);
  NotifyStatus(StatusLine(after));
  return fPruned;
}

// Empties the diagnostic logs. What stays there is said once, until the
// directory empties again: the same file would stay in every shortage.
void EmptyLogs() {
  static bool fSaid = false;
  Leftover left;
  if (EmptyDirectory(LOG_DIR, &left) || left.strPath.empty()) {
    fSaid = false;
    return;
  }
  if (!fSaid)
    lg(LOG_WARNING, "FIFO: %s stays: %s", Printable(left.strPath).c_str(),
       left.strWhy.c_str());
  fSaid = true;
}

// Stops captures and deletes logs; if that is not enough, runs a pass. True
// when the next measurement must follow at once.
bool Shortage(DiskSpace* ds) {
  lg(LOG_WARNING, "FIFO_check: Free: %llu Mb (TOO LOW)", ds->uliMegsFree);
  lg(LOG_NOTICE, "FIFO_check: %lld bytes difference from threshold",
     ds->liToFree);
  // Exit statuses do not matter: no capture running or no log to delete
  // is the usual case.
  RunShell(STOP_CAPTURES_CMD);
  EmptyLogs();
  ForgetFillRate();
  ds->Calc();
  Observe(*ds);
  // Stale directories were pruned: measure again before any call goes.
  if (ds->TooLow()) return Reclaim(*ds);
  lg(LOG_NOTICE, "FIFO_check: solved by deleting logs/traces");
  return false;
}

}  // namespace

[[noreturn]] void FIFO_check() {
  lg(LOG_NOTICE, "FIFO program started");
  if (file_exists(VERBOSE_MARKER)) g_verboseLogging = true;
  NotifyReady();
  DiskSpace ds = {0, 0, false, false};
  for (;;) {
    sleep(5);
    ds.Calc();
    Observe(ds);
    if (ds.TooLow() && Shortage(&ds)) continue;
    if (ds.ratherLow) continue;
    sleep(ds.somewhatLow ? 10 : 55);
  }
}

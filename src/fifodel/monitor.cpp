// The main loop. Pacing follows the latest measurement: the closer free space
// gets to the trigger level, the more often it is measured.
#include "monitor.h"

#include <sys/statvfs.h>
#include <syslog.h>
#include <unistd.h>

#include "logging.h"
#include "paths.h"
#include "reclaim.h"
#include "removal.h"
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
  ds->uliMegsFree = ulBavail * ulBsize / 1048576;
  ds->ratherLow = ds->uliMegsFree < 2 * uliTrigger;
  ds->somewhatLow = ds->uliMegsFree < 4 * uliTrigger;
  ds->liToFree = 0;
  if (ds->uliMegsFree < uliTrigger)
    ds->liToFree =
        static_cast<long long>(uliTrigger - ds->uliMegsFree) * 1048576;
  return uliTrigger;
}

void DiskSpace::Calc() {
  liToFree = 0;
  ratherLow = false;
  somewhatLow = false;
  struct statvfs sv;
  if (statvfs(RECORDINGS_DIR, &sv) != 0) {
    lg(LOG_WARNING, "error getting disk stat");
    return;
  }
  unsigned long long uliTrigger =
      ApplyDiskStats(this, sv.f_blocks, sv.f_frsize, sv.f_bavail, sv.f_bsize);
  lg(LOG_DEBUG, "free: %lld MB trigger: %lld MB",
     static_cast<long long>(uliMegsFree), static_cast<long long>(uliTrigger));
}

bool DiskSpace::TooLow() { return liToFree > 0; }

void FIFO_check() {
  lg(LOG_NOTICE, "FIFO program started");
  if (file_exists(VERBOSE_MARKER)) g_verboseLogging = true;
  DiskSpace ds = {0, 0, false, false};
  for (;;) {
    sleep(5);
    ds.Calc();
    if (ds.TooLow()) {
      lg(LOG_WARNING, "FIFO_check: Free: %llu Mb (TOO LOW)", ds.uliMegsFree);
      lg(LOG_NOTICE, "FIFO_check: %lld bytes difference from threshold",
         ds.liToFree);
      // Exit statuses do not matter: no capture running or no log to delete
      // is the usual case.
      RunShell(STOP_CAPTURES_CMD);
      EmptyDirectory(LOG_DIR);
      ds.Calc();
      if (ds.TooLow()) {
        // Stale directories were pruned: measure again before any call goes.
        if (FIFO_delete(ds.liToFree, false)) continue;
      } else {
        lg(LOG_NOTICE, "FIFO_check: solved by deleting logs/traces");
      }
    }
    if (ds.ratherLow) continue;
    sleep(ds.somewhatLow ? 10 : 55);
  }
}

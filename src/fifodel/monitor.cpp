// The main loop. It measures at once when it starts; then pacing follows the
// latest measurement: the closer free space gets to the trigger level, the
// more often it is measured. The monitor owns everything that outlives a
// pass: the totals, the fill-rate samples, the stuck items and the last
// pass, which it publishes after every step.
#include "monitor.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <optional>

#include "faults.h"
#include "files.h"
#include "forecast.h"
#include "journal.h"
#include "logging.h"
#include "metrics.h"
#include "notify.h"
#include "paths.h"
#include "reclaim.h"
#include "removal.h"
#include "shell.h"
#include "survey.h"
#include "tree.h"

const long long kMB = 1048576;

unsigned long long ApplyDiskStats(DiskSpace* ds, unsigned long long ulBlocks,
                                  unsigned long long ulFrsize,
                                  unsigned long long ulBavail,
                                  unsigned long long ulBsize) {
  unsigned long long uliTotal = ulBlocks * ulFrsize / kMB;
  unsigned long long uliTrigger =
      static_cast<unsigned long long>(uliTotal * 0.01);
  if (uliTrigger < 250) uliTrigger = 250;
  if (uliTrigger > 2048) uliTrigger = 2048;
  // Blocks reserved for root count in the total but never as free.
  ds->ullBytesFree = ulBavail * ulBsize;
  ds->uliMegsFree = ds->ullBytesFree / kMB;
  ds->uliMegsTrigger = uliTrigger;
  ds->ratherLow = ds->uliMegsFree < 2 * uliTrigger;
  ds->somewhatLow = ds->uliMegsFree < 4 * uliTrigger;
  ds->liToFree = 0;
  if (ds->uliMegsFree < uliTrigger)
    ds->liToFree = static_cast<long long>(uliTrigger - ds->uliMegsFree) * kMB;
  return uliTrigger;
}

namespace {

// A measurement without the log lines of one; false when statvfs failed.
bool Measure(DiskSpace* ds) {
  *ds = {ds->uliMegsFree, 0, false, false};
  struct statvfs sv;
  if (statvfs(RECORDINGS_DIR, &sv) != 0) return false;
  ApplyDiskStats(ds, sv.f_blocks, sv.f_frsize, sv.f_bavail, sv.f_bsize);
  return true;
}

const char* Level(const DiskSpace& ds) {
  if (ds.uliMegsTrigger == 0) return "unknown";
  if (ds.liToFree > 0) return "low";
  if (ds.ratherLow) return "rather_low";
  return ds.somewhatLow ? "somewhat_low" : "ample";
}

// Logs a failure to write `what` once, until it succeeds again.
void Complain(bool ok, const std::string& what, bool* pfComplained) {
  if (!ok && !*pfComplained)
    lg(LOG_WARNING, "fifodel: cannot write %s: %s", Printable(what).c_str(),
       strerror(errno));
  *pfComplained = !ok;
}

class Monitor {
 public:
  Monitor(const ServiceOptions& opts, InstanceLock* lock)
      : opts_(opts), lock_(lock) {}
  [[noreturn]] void Run();

 private:
  void Observe(bool fAfterPass);
  bool Shortage();
  bool Reclaim();
  void EmptyLogs();
  void AskSurvey();
  void Learn(const Survey& s);
  void Pause(double seconds);
  ServiceState Snapshot() const;
  void Publish();
  std::string StatusLine() const;

  const ServiceOptions& opts_;
  InstanceLock* lock_;
  DiskSpace ds_ = {0, 0, false, false};
  DiskSpace shown_ = {0, 0, false, false};  // the last measurement, quiet too
  // Wall-clock times are only shown; durations are measured in
  // SteadySeconds.
  time_t tMeasured_ = 0;
  double published_ = 0;
  std::optional<double> passEnded_;
  long long llFree_ = -1, llTrigger_ = -1;  // the last good measurement
  long long llFreeAfterPass_ = -1;
  Forecast forecast_;
  StuckRegistry stuck_;
  Totals totals_;
  PassReport pass_;
  Surveyor surveyor_;
  ServiceState::Archiving archiving_;
  std::optional<double> asked_;  // when the last survey was asked for
  bool fAskNow_ = false, fBehindSaid_ = false;
  bool fPassRunning_ = false;
  bool fJournalPending_ = false;  // as it was when the running pass began
  bool fLogsSaid_ = false, fStateFailed_ = false, fMetricsFailed_ = false;
};

ServiceState Monitor::Snapshot() const {
  ServiceState st;
  st.llPid = getpid();
  st.tWritten = time(nullptr);
  st.tMeasured = tMeasured_;
  st.fMeasureOk = shown_.uliMegsTrigger != 0;
  st.llFreeBytes = llFree_;
  st.llTriggerBytes = llTrigger_;
  st.strLevel = Level(shown_);
  st.dRate = forecast_.Rate();
  st.llSamples = forecast_.Samples();
  st.llForecast = st.fMeasureOk ? forecast_.Seconds(llFree_, llTrigger_) : -1;
  st.pass = pass_;
  st.llFreeAfterPass = llFreeAfterPass_;
  st.archiving = archiving_;
  // A pass's own segment is no debt: only what was there before it.
  st.fJournalPending = fPassRunning_ ? fJournalPending_ : JournalPending();
  for (const auto& [key, why] : stuck_.Items())
    st.stuck.push_back({key.KindName(), key.Name(), why});
  st.llStuckUncounted = stuck_.Uncounted();
  st.totals = totals_;
  return st;
}

void Monitor::Publish() {
  ServiceState st = Snapshot();
  published_ = SteadySeconds();
  bool ok =
      (mkdir(STATE_DIR, 0755) == 0 || errno == EEXIST) &&
      WriteAtomically(STATE_DIR, STATE_NAME, FormatState(st), 0644, false);
  Complain(ok, STATE_FILE, &fStateFailed_);
  if (opts_.strMetricsDir.empty()) return;
  Complain(WriteAtomically(opts_.strMetricsDir, METRICS_NAME, FormatMetrics(st),
                           0644, false),
           opts_.strMetricsDir + "/" METRICS_NAME, &fMetricsFailed_);
}

// "free 1234 MB, trigger 250 MB, last pass 12:03 covered freed 640 MB"
std::string Monitor::StatusLine() const {
  if (shown_.uliMegsTrigger == 0)
    return "free space unknown: measurement failed";
  std::string text = "free " + std::to_string(shown_.uliMegsFree) +
                     " MB, trigger " + std::to_string(shown_.uliMegsTrigger) +
                     " MB";
  if (pass_.tEnd == 0) return text;
  char hhmm[8];
  struct tm tm;
  strftime(hhmm, sizeof hhmm, "%H:%M", localtime_r(&pass_.tEnd, &tm));
  return text + ", last pass " + hhmm + " " + kOutcomeNames[pass_.outcome] +
         " freed " + std::to_string(pass_.llBytesFreed / kMB) + " MB";
}

// After every measurement: the forecast, the state, the metrics and the
// service manager. A measurement right after a pass feeds no forecast: the
// pass itself made the space.
void Monitor::Observe(bool fAfterPass) {
  tMeasured_ = time(nullptr);
  double now = SteadySeconds();
  if (shown_.uliMegsTrigger != 0) {
    llFree_ = static_cast<long long>(shown_.ullBytesFree);
    llTrigger_ = static_cast<long long>(shown_.uliMegsTrigger) * kMB;
    if (!fAfterPass) forecast_.Add(now, llFree_);
  }
  if (fAfterPass) llFreeAfterPass_ = shown_.uliMegsTrigger ? llFree_ : -1;
  long long llSeconds =
      shown_.uliMegsTrigger ? forecast_.Seconds(llFree_, llTrigger_) : -1;
  if (!fAfterPass && forecast_.Warn(llSeconds, now, passEnded_))
    lg(LOG_WARNING,
       "FIFO_check: free space will reach the trigger level in %lld min "
       "(free %lld MB, trigger %lld MB, shrinking %.1f MB/min)",
       llSeconds / 60, llFree_ / kMB, llTrigger_ / kMB,
       forecast_.Rate() * 60 / kMB);
  Publish();
  NotifyStatus(StatusLine());
  if (!fAfterPass) NotifyWatchdog();
}

// Runs a pass for the shortfall in ds_, while the lock is held, and reports
// on it from a silent measurement: a logged one would add a line to every
// pass. True when the pass pruned directories.
bool Monitor::Reclaim() {
  InstanceLock::Result r = lock_->Ensure();
  if (r == InstanceLock::kHeldElsewhere) exit(0);
  if (r != InstanceLock::kTaken) return false;
  PassRequest req;
  req.liBytesToFree = ds_.liToFree;
  req.llNumber = pass_.llNumber + 1;
  req.known = &stuck_;
  req.betweenChunks = [this] {
    NotifyWatchdog();
    // Keeps `fifodel status` from taking a busy service for a hung one.
    if (SteadySeconds() - published_ >= Scaled(10)) Publish();
  };
  fJournalPending_ = JournalPending();
  fPassRunning_ = true;
  pass_ = PassReport();
  pass_.llNumber = req.llNumber;
  pass_.tStart = time(nullptr);
  pass_ = RunPass(req);
  passEnded_ = SteadySeconds();
  fPassRunning_ = false;
  totals_.Add(pass_);
  for (const StuckKey& key : pass_.loosened) stuck_.Clear(key);
  stuck_.Merge(pass_.stuck, pass_.llStuckMore);
  // Out of archived calls: why, the backlog says, and says it now.
  fAskNow_ = pass_.outcome == kOutcomeExhausted;
  if (pass_.outcome == kOutcomeCovered) fBehindSaid_ = false;
  forecast_.Forget();
  Measure(&shown_);
  Observe(true);
  return pass_.outcome == kOutcomePruned;
}

// Empties the diagnostic logs. What stays there is said once, until the
// directory empties again: the same file would stay in every shortage.
void Monitor::EmptyLogs() {
  WalkResult r = EmptyDirectory(LOG_DIR);
  if (!r.strLeftover.empty())
    r.stays.emplace_back(r.strLeftover, r.strLeftoverWhy);
  if (!fLogsSaid_)
    for (const auto& [path, why] : r.stays)
      lg(LOG_WARNING, "FIFO: %s stays: %s", Printable(path).c_str(),
         why.c_str());
  fLogsSaid_ = !r.stays.empty();
}

// Stops captures and deletes logs; if that is not enough, runs a pass. True
// when the next measurement must follow at once.
bool Monitor::Shortage() {
  lg(LOG_WARNING, "FIFO_check: Free: %llu Mb (TOO LOW)", ds_.uliMegsFree);
  lg(LOG_NOTICE, "FIFO_check: %lld bytes difference from threshold",
     ds_.liToFree);
  // Exit statuses do not matter: no capture running or no log to delete
  // is the usual case.
  RunShell(STOP_CAPTURES_CMD);
  EmptyLogs();
  forecast_.Forget();
  ds_.Calc();
  shown_ = ds_;
  Observe(false);
  if (ds_.TooLow()) return Reclaim();
  lg(LOG_NOTICE, "FIFO_check: solved by deleting logs/traces");
  return false;
}

// Once a minute, and at once after a pass that ran out of archived calls.
void Monitor::AskSurvey() {
  if (surveyor_.Busy() ||
      !(fAskNow_ || !asked_ || SteadySeconds() - *asked_ >= Scaled(60)))
    return;
  std::vector<long long> calls;
  for (const auto& [key, why] : stuck_.Items())
    if (key.kind == StuckKey::kCall) calls.push_back(key.llCall);
  surveyor_.Ask(calls);
  asked_ = SteadySeconds();
  fAskNow_ = false;
}

// What a survey found; unknown, not stale, when the server did not answer.
void Monitor::Learn(const Survey& s) {
  archiving_ = {-1, 0, 0, archiving_.tUpdated, true};
  if (!s.fOk) return;
  archiving_ = {s.llBacklog, s.tBacklogOldest, s.tOldestOnDisk, time(nullptr),
                true};
  Tree tree;
  if (tree.Open())
    stuck_.Forget(
        [&](const StuckKey& key) { return Vanished(key, s, tree.root()); });
  bool fBehind = pass_.outcome == kOutcomeExhausted && s.llBacklog > 0 &&
                 llFreeAfterPass_ >= 0 && llFreeAfterPass_ < llTrigger_;
  if (fBehind && !fBehindSaid_) {
    char oldest[32];
    struct tm tm;
    strftime(oldest, sizeof oldest, "%Y-%m-%d %H:%M",
             localtime_r(&s.tBacklogOldest, &tm));
    lg(LOG_WARNING,
       "FIFO: archiving is behind: no archived call left, free %lld MB, "
       "trigger %lld MB, %lld calls not archived yet, the oldest from %s",
       llFreeAfterPass_ / kMB, llTrigger_ / kMB, s.llBacklog, oldest);
  }
  fBehindSaid_ = fBehindSaid_ || fBehind;
}

// Sleeps, taking in a survey as soon as it ends.
void Monitor::Pause(double seconds) {
  const double until = SteadySeconds() + seconds;
  while (surveyor_.Await(until - SteadySeconds())) {
    Learn(*surveyor_.Take());
    Publish();
  }
  double left = until - SteadySeconds();
  if (left > 0) usleep(static_cast<useconds_t>(left * 1e6));
}

// Seconds from a measurement to the next: the closer free space is to the
// trigger level, the sooner. A failed measurement leaves no flag set.
double Pace(const DiskSpace& ds) {
  return ds.ratherLow ? 5 : ds.somewhatLow ? 15 : 60;
}

void Monitor::Run() {
  lg(LOG_NOTICE, "FIFO program started");
  if (file_exists(VERBOSE_MARKER)) g_verboseLogging = true;
  NotifyReady();
  // The first measurement comes at once: a restart on a disk that fills
  // fast must not leave it unwatched for a cycle.
  for (;;) {
    ds_.Calc();
    shown_ = ds_;
    Observe(false);
    // Stale directories were pruned: measure again, and go on to the calls
    // if that was not enough, without waiting for the next cycle.
    if (ds_.TooLow() && Shortage()) continue;
    AskSurvey();
    Pause(Scaled(Pace(ds_)));
  }
}

}  // namespace

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

void FIFO_check(const ServiceOptions& opts, InstanceLock* lock) {
  Monitor(opts, lock).Run();
}

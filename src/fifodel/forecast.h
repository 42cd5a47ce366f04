// The fill rate of the recordings file system over the last ten minutes,
// the time it leaves until the trigger level, and when that is worth an
// early warning.
#ifndef FIFODEL_FORECAST_H_
#define FIFODEL_FORECAST_H_

#include <time.h>

#include <deque>

// One measurement of free space.
struct Sample {
  time_t t;
  long long llFree;
};

// Bytes per second by which free space shrinks (least squares over
// `samples`); 0 for fewer than two distinct times.
double FillRate(const std::deque<Sample>& samples);

// Seconds until `llFree` reaches `llTrigger` at `dRate`: 0 when already at
// or below it, -1 when space does not shrink.
long long ForecastSeconds(long long llFree, long long llTrigger, double dRate);

class Forecast {
 public:
  static const time_t kWindow = 600;    // the rate looks this far back
  static const long long kAhead = 3600;  // warn this far ahead

  // A good measurement.
  void Add(time_t now, long long llFree);
  // The service itself just freed space (logs, a pass): the rate starts
  // over, as it would otherwise count our own removals as a slowing inflow.
  void Forget() { samples_.clear(); }
  double Rate() const { return FillRate(samples_); }
  long long Samples() const { return samples_.size(); }
  // ForecastSeconds from the window, -1 while fewer than two samples.
  long long Seconds(long long llFree, long long llTrigger) const;
  // True once per episode: the trigger level is less than an hour away
  // (`llSeconds`) while no pass has run for an hour (`tLastPass`, 0: none);
  // a forecast beyond the hour, or space no longer shrinking, ends it.
  bool Warn(long long llSeconds, time_t now, time_t tLastPass);

 private:
  std::deque<Sample> samples_;
  bool fArmed_ = true;
};

#endif  // FIFODEL_FORECAST_H_

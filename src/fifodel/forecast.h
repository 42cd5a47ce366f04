// The fill rate of the recordings file system over the last ten minutes, the
// time it leaves until the trigger level, and when that is worth a warning.
#ifndef FIFODEL_FORECAST_H_
#define FIFODEL_FORECAST_H_

#include <time.h>

#include <deque>

struct Sample {
  time_t t;
  long long llFree;
};

// Bytes per second by which free space shrinks (least squares); 0 for fewer
// than two distinct times.
double FillRate(const std::deque<Sample>& samples);

// Seconds until `llFree` reaches `llTrigger` at `dRate`: 0 at or below it,
// -1 when space does not shrink.
long long ForecastSeconds(long long llFree, long long llTrigger, double dRate);

class Forecast {
 public:
  static const time_t kWindow = 600;
  static const long long kAhead = 3600;
  void Add(time_t now, long long llFree);  // a good measurement
  // The service itself freed space: the rate starts over, or it would take
  // its own removals for a slowing inflow.
  void Forget() { samples_.clear(); }
  double Rate() const { return FillRate(samples_); }
  long long Samples() const { return samples_.size(); }
  // As ForecastSeconds, -1 while fewer than two samples.
  long long Seconds(long long llFree, long long llTrigger) const;
  // True once per episode: the trigger level less than kAhead away
  // (`llSeconds`) while no pass ran for kAhead (`tLastPass`, 0: none); a
  // forecast beyond, or space no longer shrinking, ends the episode.
  bool Warn(long long llSeconds, time_t now, time_t tLastPass);

 private:
  std::deque<Sample> samples_;
  bool fArmed_ = true;
};

#endif  // FIFODEL_FORECAST_H_

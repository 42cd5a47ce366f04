// The fill rate of the recordings file system over the last ten minutes, the
// time it leaves until the trigger level, and when that is worth a warning.
#ifndef FIFODEL_FORECAST_H_
#define FIFODEL_FORECAST_H_

#include <deque>
#include <optional>

// Seconds since boot (CLOCK_BOOTTIME), for durations only: a step of the
// wall clock, forward or back, must not mix samples from either side of it
// or make an hour seem to have passed. Suspended time counts, as the disk
// goes on holding what was written before.
double SteadySeconds();

struct Sample {
  double t;  // SteadySeconds
  long long llFree;
};

// Bytes per second by which free space shrinks (least squares); 0 for fewer
// than two distinct times.
double FillRate(const std::deque<Sample>& samples);

// Seconds until `llFree` reaches `llTrigger` at `dRate`: 0 at or below it,
// -1 when space does not shrink.
long long ForecastSeconds(long long llFree, long long llTrigger, double dRate);

// Times are SteadySeconds.
class Forecast {
 public:
  static constexpr double kWindow = 600;
  static const long long kAhead = 3600;
  void Add(double now, long long llFree);  // a good measurement
  // The service itself freed space: the rate starts over, or it would take
  // its own removals for a slowing inflow.
  void Forget() { samples_.clear(); }
  double Rate() const { return FillRate(samples_); }
  long long Samples() const { return samples_.size(); }
  // As ForecastSeconds, -1 while fewer than two samples.
  long long Seconds(long long llFree, long long llTrigger) const;
  // True once per episode: the trigger level less than kAhead away
  // (`llSeconds`) while no pass ended for kAhead (`lastPass`, when one ended
  // at all); a forecast beyond, or space no longer shrinking, ends the
  // episode.
  bool Warn(long long llSeconds, double now, std::optional<double> lastPass);

 private:
  std::deque<Sample> samples_;
  bool fArmed_ = true;
};

#endif  // FIFODEL_FORECAST_H_

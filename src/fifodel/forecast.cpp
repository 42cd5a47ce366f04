#include "forecast.h"

#include <time.h>

double SteadySeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double FillRate(const std::deque<Sample>& samples) {
  if (samples.size() < 2) return 0;
  // Centred on the first sample: seconds since boot squared would lose
  // digits after months of uptime.
  double n = samples.size(), st = 0, sf = 0, stt = 0, stf = 0;
  for (const Sample& s : samples) {
    double t = s.t - samples.front().t, f = s.llFree;
    st += t, sf += f, stt += t * t, stf += t * f;
  }
  double denom = n * stt - st * st;
  if (denom <= 0) return 0;
  return -(n * stf - st * sf) / denom;
}

long long ForecastSeconds(long long llFree, long long llTrigger, double dRate) {
  if (llFree <= llTrigger) return 0;
  if (dRate <= 0) return -1;
  return static_cast<long long>((llFree - llTrigger) / dRate);
}

void Forecast::Add(double now, long long llFree) {
  samples_.push_back({now, llFree});
  while (now - samples_.front().t > kWindow) samples_.pop_front();
}

long long Forecast::Seconds(long long llFree, long long llTrigger) const {
  if (llFree <= llTrigger) return 0;
  return samples_.size() < 2 ? -1 : ForecastSeconds(llFree, llTrigger, Rate());
}

bool Forecast::Warn(long long llSeconds, double now,
                    std::optional<double> lastPass) {
  if (llSeconds > kAhead || (llSeconds < 0 && samples_.size() >= 2)) {
    fArmed_ = true;
    return false;
  }
  // A pass is the service doing its job: while one ran within the hour, a
  // trigger level minutes away is the normal state of a full server.
  bool fReclaiming = lastPass && now - *lastPass < kAhead;
  if (llSeconds <= 0 || !fArmed_ || fReclaiming) return false;
  fArmed_ = false;
  return true;
}

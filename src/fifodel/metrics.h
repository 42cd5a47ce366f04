// The metrics for a textfile collector, in the Prometheus text exposition
// format: free space, trigger level, fill rate and forecast, passes by
// outcome, what was reclaimed (per tenant too), stuck items, the journal and
// the oldest recording.
#ifndef FIFODEL_METRICS_H_
#define FIFODEL_METRICS_H_

#include <string>

#include "statedoc.h"

// Pure: the metrics text of `st`, HELP and TYPE lines included.
std::string FormatMetrics(const ServiceState& st);

#endif  // FIFODEL_METRICS_H_

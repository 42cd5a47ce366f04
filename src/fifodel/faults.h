// What the tests may change in a running service through its environment,
// and nothing else: named points of a pass at which a fault strikes, and the
// scale of the service's waits. Never set in production.
#ifndef FIFODEL_FAULTS_H_
#define FIFODEL_FAULTS_H_

// Runs FIFODEL_FAULT_CMD through the shell, and waits for it, when
// FIFODEL_FAULT names `point` (stop the database, kill this very process,
// hold a lock). Without both, a point costs two environment lookups.
void FaultPoint(const char* point);

// `seconds` of the monitor's pacing or the database's deadlines, times
// FIFODEL_TIME_SCALE when that is a number between 0.01 and 1, so that
// tests need not wait for real time.
double Scaled(double seconds);

#endif  // FIFODEL_FAULTS_H_

// Named points of a pass at which the fault tests strike. The service runs
// them only when its environment asks: FIFODEL_FAULT names the point and
// FIFODEL_FAULT_CMD the shell command to run there (stop the database, kill
// this very process, hold a lock). Without both, a point costs one compare.
#ifndef FIFODEL_FAULTS_H_
#define FIFODEL_FAULTS_H_

// Runs the fault command, and waits for it, when FIFODEL_FAULT is `point`.
void FaultPoint(const char* point);

#endif  // FIFODEL_FAULTS_H_

// Read from the environment at every use rather than cached: no state, and a
// lookup costs less than the work around the few points that ask.
#include "faults.h"

#include <stdlib.h>
#include <string.h>

#include "shell.h"

void FaultPoint(const char* point) {
  const char* acPoint = getenv("FIFODEL_FAULT");
  const char* acCmd = getenv("FIFODEL_FAULT_CMD");
  if (acPoint && acCmd && strcmp(acPoint, point) == 0) RunShell(acCmd);
}

double Scaled(double seconds) {
  const char* acScale = getenv("FIFODEL_TIME_SCALE");
  double scale = acScale ? atof(acScale) : 1;
  return scale >= 0.01 && scale <= 1 ? seconds * scale : seconds;
}

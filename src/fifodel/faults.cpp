// Fault points are read from the environment once; the command runs through
// the shell like the service's other commands, so it may signal the service
// itself ($PPID) exactly where a crash would hurt most.
#include "faults.h"

#include <stdlib.h>
#include <string.h>

#include "shell.h"

void FaultPoint(const char* point) {
  static const char* acPoint = getenv("FIFODEL_FAULT");
  static const char* acCmd = getenv("FIFODEL_FAULT_CMD");
  if (acPoint && acCmd && strcmp(acPoint, point) == 0) RunShell(acCmd);
}

// Removes directories of the recording tree that are older than the oldest
// archived call. It never asks the database: the tree's own year, month, day
// and hour names tell what is older, whatever the calls table says of it.
#include "prune.h"

#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include "logging.h"
#include "removal.h"

namespace {

// Parses "YYYY/MM/DD/HH"; false unless the form and every range are right.
bool ParseHourDirectory(const std::string& str, int* year, int* month, int* day,
                        int* hour) {
  static const char expectedFormat[] = "0000/00/00/00";
  if (str.size() != sizeof expectedFormat - 1) return false;
  for (size_t i = 0; i < str.size(); ++i) {
    bool ok = expectedFormat[i] == '0' ? (str[i] >= '0' && str[i] <= '9')
                                       : str[i] == '/';
    if (!ok) return false;
  }
  *year = atoi(str.substr(0, 4).c_str());
  *month = atoi(str.substr(5, 2).c_str());
  *day = atoi(str.substr(8, 2).c_str());
  *hour = atoi(str.substr(11, 2).c_str());
  // Any day up to 31 is accepted, whatever the month.
  return *year >= 2010 && *month >= 1 && *month <= 12 && *day >= 1 &&
         *day <= 31 && *hour >= 0 && *hour <= 23;
}

}  // namespace

bool deleteDirectory(std::string strDirectory, bool fSim) {
  if (!file_exists(strDirectory)) return false;
  lg(LOG_NOTICE, "FIFO delete directory: %s ", strDirectory.c_str());
  char cmdbuf[100];
  int n = snprintf(cmdbuf, sizeof cmdbuf, "rm -R %s", strDirectory.c_str());
  // A cut-off path could name a parent directory: never run that.
  if (!fSim && n < static_cast<int>(sizeof cmdbuf)) RunShell(cmdbuf);
  return true;
}

bool FifoOldestEntry(std::string strDirectory, bool fSim) {
  lg(LOG_NOTICE, "FIFO oldest entry in directory %s ", strDirectory.c_str());
  int year, month, day, hour;
  if (!ParseHourDirectory(strDirectory, &year, &month, &day, &hour))
    return false;

  bool toReturn = false;
  char buf[100];
  // Every candidate is tried; one that is missing does not stop the rest.
  for (int y = year - 1; y >= 2010; --y) {
    snprintf(buf, sizeof buf, "/recordings/%04d", y);
    if (deleteDirectory(buf, fSim)) toReturn = true;
  }
  for (int m = month - 1; m >= 1; --m) {
    snprintf(buf, sizeof buf, "/recordings/%04d/%02d", year, m);
    if (deleteDirectory(buf, fSim)) toReturn = true;
  }
  for (int d = day - 1; d >= 1; --d) {
    snprintf(buf, sizeof buf, "/recordings/%04d/%02d/%02d", year, month, d);
    if (deleteDirectory(buf, fSim)) toReturn = true;
  }
  for (int h = hour - 1; h >= 0; --h) {
    snprintf(buf, sizeof buf, "/recordings/%04d/%02d/%02d/%02d", year, month,
             day, h);
    if (deleteDirectory(buf, fSim)) toReturn = true;
  }
  return toReturn;
}

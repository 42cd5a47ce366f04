// One instance at a time: the running service holds an exclusive flock on
// LOCK_FILE, which also names its process id for whoever finds it taken.
#ifndef FIFODEL_LOCK_H_
#define FIFODEL_LOCK_H_

#include <string>

// Takes the lock for the life of the process, creating STATE_DIR and
// LOCK_FILE as needed, and writes the process id into the file. False when
// another process holds it: then one LOG_ERR line names that process. When
// the lock cannot be tried at all (no /run), logs LOG_ERR and returns true:
// keeping the disk from filling matters more than the guard.
bool TakeInstanceLock();

// True when some process holds the lock now; `pid` gets the id written in
// the file ("" if none). Takes no lock that a starting service could trip
// over for longer than a moment.
bool InstanceRunning(std::string* pid);

#endif  // FIFODEL_LOCK_H_

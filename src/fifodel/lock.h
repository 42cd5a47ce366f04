// One instance at a time. The lock is an exclusive flock on the state
// directory, which the service creates and which no file planted in it can
// replace; the process id goes into PID_FILE for whoever finds it taken.
#ifndef FIFODEL_LOCK_H_
#define FIFODEL_LOCK_H_

#include <string>

class InstanceLock {
 public:
  enum Result { kTaken, kHeldElsewhere, kUnavailable };

  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Locks STATE_DIR (created when missing) or, when that cannot be opened,
  // RECORDINGS_DIR, and writes PID_FILE. kHeldElsewhere, with one LOG_ERR
  // line naming the holder, when another process holds it; kUnavailable,
  // logged at LOG_ERR once per process, when neither can be locked: then no
  // pass may run until a later Take succeeds. The lock lasts as long as the
  // process.
  Result Take();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  bool fComplained_ = false;
};

// True when some process holds the lock now; `pid` gets the id it wrote
// ("" if none yet). Takes no lock that a starting service could trip over
// for longer than a moment.
bool InstanceRunning(std::string* pid);

#endif  // FIFODEL_LOCK_H_

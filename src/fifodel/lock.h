// One instance at a time: an exclusive flock on the state directory, which
// nothing planted in it can replace; the holder's id is in PID_FILE.
#ifndef FIFODEL_LOCK_H_
#define FIFODEL_LOCK_H_

#include <string>

class InstanceLock {
 public:
  enum Result { kTaken, kHeldElsewhere, kUnavailable };
  // Locks STATE_DIR (made when missing) or, when that cannot be opened,
  // RECORDINGS_DIR, and writes PID_FILE. kHeldElsewhere, logged at LOG_ERR
  // with the holder's id; kUnavailable, logged at LOG_ERR once, when
  // neither can be locked: then no pass runs. Held for the process's life.
  Result Take();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  bool fComplained_ = false;
};

// Whether some process holds the lock; `pid` gets the id it wrote ("" if
// none yet). The shared lock it tries lasts a moment only.
bool InstanceRunning(std::string* pid);

#endif  // FIFODEL_LOCK_H_

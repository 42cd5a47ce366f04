// One instance at a time: an exclusive flock on the directory /recordings
// itself. It is what the service guards, so it exists whenever there is
// anything to reclaim, and every instance and `fifodel status` ask the same
// object; nothing planted in /run can stand in for it. The holder's id goes
// to PID_FILE when that can be written.
#ifndef FIFODEL_LOCK_H_
#define FIFODEL_LOCK_H_

#include <sys/types.h>

#include <string>

class InstanceLock {
 public:
  enum Result { kTaken, kHeldElsewhere, kUnavailable };
  // Makes sure the lock is held on what RECORDINGS_DIR leads to now (device
  // and inode): a file system mounted there, or unmounted, since it was
  // taken is another object, locked anew. kHeldElsewhere, logged at LOG_ERR
  // with the holder's id: another instance holds it, and this one must
  // leave. kUnavailable, logged at LOG_ERR once until the lock is taken:
  // /recordings cannot be opened or locked, and no pass may run. Held until
  // the process ends or the object changes.
  Result Ensure();

 private:
  Result Take();
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool fComplained_ = false;
};

// Who runs, as `fifodel status` tells it: whether a process holds the lock
// (a shared lock tried for a moment) and its id ("" when unknown), from
// PID_FILE or else the state document. When /recordings cannot be opened (a
// monitoring user without read permission), `strUnasked` says so and the
// process of the state document's id being alive (/proc) stands in for the
// lock.
struct Holder {
  bool fRunning = false;
  std::string pid;
  std::string strUnasked;
};
Holder AskHolder();

#endif  // FIFODEL_LOCK_H_

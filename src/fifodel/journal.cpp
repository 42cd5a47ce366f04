// Appended per chunk and settled per pass, the journal is empty between
// passes unless one was cut short.
#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "files.h"
#include "logging.h"
#include "paths.h"

namespace {

// A journal is one pass plus a line per tenant; anything far larger is no
// journal of ours, and reading it whole must not exhaust the service.
const off_t kMaxJournal = 256 << 20;

bool ReadAll(int fd, std::string* text) {
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    text->append(buf, n);
  }
  return true;
}

}  // namespace

namespace {

// The journal opened for reading, checked to be what the service writes: a
// regular file with one link (not a fifo, a link or a second name of some
// other file that was planted there). -1 with errno otherwise.
int OpenJournal(struct stat* st) {
  int dirfd = OpenDir(JOURNAL_DIR);
  int fd = dirfd < 0 ? -1
                     : openat(dirfd, JOURNAL_NAME,
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  int err = errno;
  if (dirfd >= 0) close(dirfd);
  if (fd >= 0 && (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) ||
                  st->st_nlink != 1 || st->st_size > kMaxJournal)) {
    err = S_ISREG(st->st_mode) && st->st_nlink == 1 ? EFBIG : EINVAL;
    close(fd);
    fd = -1;
  }
  errno = err;
  return fd;
}

}  // namespace

bool JournalPending() {
  struct stat st;
  int fd = OpenJournal(&st);
  if (fd >= 0) close(fd);
  return fd >= 0 && st.st_size > 0;
}

bool ReadJournal(std::string* text) {
  text->clear();
  struct stat st;
  int fd = OpenJournal(&st);
  bool ok = fd >= 0 && ReadAll(fd, text);
  int err = errno;
  if (fd >= 0) close(fd);
  errno = err;
  return ok;
}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

bool Journal::Append(const std::string& text) {
  if (fd_ < 0) {
    mkdir(JOURNAL_DIR, 0700);
    int dirfd = OpenDir(JOURNAL_DIR);
    fd_ = dirfd < 0 ? -1 : OpenAppend(dirfd, JOURNAL_NAME, 0600);
    if (dirfd >= 0) close(dirfd);
    // A leftover of a pass cut short stays in front of this pass's segment.
    llBase_ = fd_ < 0 ? -1 : fWhole_ ? 0 : lseek(fd_, 0, SEEK_END);
  }
  if (llBase_ < 0 || fDirty_) return false;
  off_t at = lseek(fd_, 0, SEEK_END);
  const std::string head = fWritten_ || fWhole_ ? "" : JournalLine("S");
  if (WriteAll(fd_, head + text) && fdatasync(fd_) == 0)
    return fWritten_ = true;
  // No half line may stay in front of the next.
  int err = errno;
  fDirty_ = ftruncate(fd_, at) != 0;
  errno = err;
  return false;
}

bool Journal::Intend(const std::vector<Intent>& intents) {
  std::string text;
  for (const Intent& i : intents) text += IntentLine(i);
  std::lock_guard<std::mutex> lock(mu_);
  if (Append(text)) return llIntents_ += intents.size(), true;
  fLost_ = fLost_ || !intents.empty();
  if (!fComplained_)
    lg(LOG_ERR, "FIFO: cannot write %s: %s; counts of this pass are at risk",
       JOURNAL_FILE, strerror(errno));
  fComplained_ = true;
  return false;
}

long long Journal::Intended() {
  std::lock_guard<std::mutex> lock(mu_);
  return llIntents_;
}

void Journal::Audited(long long llIntents) {
  std::lock_guard<std::mutex> lock(mu_);
  Append(JournalLine("A " + std::to_string(llIntents)));
}

bool Journal::Spares(long long llCall) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fLost_ || llBase_ <= 0) return false;
  std::string text, payload;
  if (!fSparesRead_ && ReadJournal(&text)) {
    text.resize(std::min<size_t>(text.size(), llBase_));
    std::istringstream lines(text);
    Intent intent;
    for (std::string line; std::getline(lines, line);)
      if (JournalPayload(line, &payload) && ParseIntent(payload, &intent))
        spared_.push_back(intent.llCall);
    std::sort(spared_.begin(), spared_.end());
  }
  fSparesRead_ = true;
  return std::binary_search(spared_.begin(), spared_.end(), llCall);
}

bool Journal::BeforeCommit(const std::string& xid, const LLMAP& failed) {
  std::string payload = "C " + xid;
  for (const auto& [tenant, delta] : failed)
    payload += " " + std::to_string(tenant);
  std::lock_guard<std::mutex> lock(mu_);
  if (Append(JournalLine(payload))) return true;
  // What a replay owes stays in the journal: committed without its line, it
  // would be charged again by the next replay.
  if (fWhole_) return false;
  if (fd_ >= 0 ? llBase_ > 0 : JournalPending()) {
    if (!fWritten_) return true;
    lg(LOG_ERR,
       "FIFO: counts of this pass not committed: %s cannot record the "
       "commit behind what an earlier pass left",
       JOURNAL_FILE);
    return false;
  }
  // Without its line a commit could be replayed: the segment goes instead,
  // so that a crash can lose these counts, never double them.
  if (!fWritten_ && !fDirty_) return true;
  fWritten_ = fDirty_ = ftruncate(fd_, llBase_) != 0 || fdatasync(fd_) != 0;
  return !fWritten_;
}

void Journal::Settled() {
  // Behind a leftover the committed segment stays: a file of the leftover
  // that this pass removed is named last here, where it is charged already.
  if (fd_ >= 0 && llBase_ == 0) RemoveFile(JOURNAL_DIR, JOURNAL_NAME);
}

// The counter journal: plain text, one "tenant delta" line per removed
// file, appended as the file goes, so a kill between a call's files loses
// nothing. It is small and written rarely, so
// it is read back whole and rewritten whole (through a renamed temporary
// file) whenever part of it has been committed.
#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "files.h"
#include "logging.h"
#include "paths.h"
#include "tenancy.h"

namespace {

// Parses "tenant delta" lines; a torn last line (power lost mid-write) is
// passed over.
Owed Parse(FILE* in) {
  Owed owed;
  char line[128];
  while (fgets(line, sizeof line, in)) {
    long long llTenant, llDelta;
    char end;
    if (sscanf(line, "%lld %lld%c", &llTenant, &llDelta, &end) == 3 &&
        end == '\n')
      owed[llTenant] = SaturatingAdd(owed[llTenant], llDelta);
  }
  return owed;
}

// Replaces the journal with `owed`, or removes it when nothing is owed.
void Rewrite(const Owed& owed) {
  std::string text;
  for (const auto& [llTenant, llDelta] : owed)
    if (llDelta != 0)
      text += std::to_string(llTenant) + " " + std::to_string(llDelta) + "\n";
  bool ok = text.empty()
                ? RemoveFile(JOURNAL_DIR, JOURNAL_NAME)
                : WriteAtomically(JOURNAL_DIR, JOURNAL_NAME, text, 0600, true);
  if (!ok)
    lg(LOG_ERR, "FIFO: cannot rewrite " JOURNAL_FILE ": %s", strerror(errno));
}

}  // namespace

bool JournalPending() {
  struct stat st;
  return fstatat(AT_FDCWD, JOURNAL_FILE, &st, 0) == 0;
}

Owed ReadJournal() {
  FILE* in = fopen(JOURNAL_FILE, "re");
  if (in == nullptr) return Owed();
  Owed owed = Parse(in);
  fclose(in);
  return owed;
}

void SettleJournal(const Owed& committed) {
  if (!JournalPending()) return;
  Owed owed = ReadJournal();
  for (const auto& [llTenant, llDelta] : committed)
    owed[llTenant] = SaturatingAdd(owed[llTenant], -llDelta);
  Rewrite(owed);
}

void ApplyPendingJournal() {
  if (!JournalPending()) return;
  Owed owed = ReadJournal();
  lg(LOG_NOTICE, "FIFO: applying the counter journal of %zu tenants",
     owed.size());
  SettleJournal(owed.empty() ? owed : CommitCounterDeltas(owed));
}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

void Journal::Append(long long llTenantId, long long llBytes) {
  if (fd_ < 0) {
    mkdir(JOURNAL_DIR, 0700);
    fd_ = open(JOURNAL_FILE, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  std::string line =
      std::to_string(llTenantId) + " " +
      std::to_string(llBytes == LLONG_MIN ? LLONG_MAX : -llBytes) + "\n";
  if (fd_ >= 0 && WriteAll(fd_, line)) return;
  // Once a pass: the same failure would repeat for every file.
  if (!fComplained_)
    lg(LOG_ERR, "FIFO: cannot append to " JOURNAL_FILE ": %s", strerror(errno));
  fComplained_ = true;
}

void Journal::Sync() {
  if (fd_ < 0 || fdatasync(fd_) == 0 || fComplained_) return;
  lg(LOG_ERR, "FIFO: cannot append to " JOURNAL_FILE ": %s", strerror(errno));
  fComplained_ = true;
}

// What the database knows that no pass asks: how far archiving is behind
// (calls not archived yet may never go, so they are why a disk fills that
// no pass can help), how far back the disk reaches, and whether calls said
// to be stuck still wait. Asked on a connection and a thread of their own,
// so that a slow or absent server never holds the monitor or a pass.
#ifndef FIFODEL_SURVEY_H_
#define FIFODEL_SURVEY_H_

#include <time.h>

#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "serial.h"
#include "stuck.h"

struct Survey {
  bool fOk = false;           // the server answered; the figures below hold
  long long llBacklog = -1;   // calls neither archived nor reclaimed
  time_t tBacklogOldest = 0;  // start of the oldest of them; 0: none
  time_t tOldestOnDisk = 0;   // start of the oldest archived call; 0: none
  // Of the stuck calls asked about, those still archived and unreclaimed,
  // with the path of their media below /recordings.
  std::map<long long, std::string> waiting;
  std::vector<long long> asked;  // the stuck calls asked about
};

// The statements, each one round trip, served by indexes whatever the
// history: calls_pending_by_age, calls_archived_by_age, the primary key.
std::string FiguresStatement();
std::string StuckCallsStatement(const std::vector<long long>& ids);

// One survey on a connection of its own, under the usual deadlines; fOk
// false when the server cannot be reached or a statement fails.
Survey TakeSurvey(const std::vector<long long>& stuckCalls);

// Whether the stuck item `key` no longer is: a call that `s` did not find
// waiting, or whose media is gone; a directory that is gone. Beneath the
// descriptor `rootfd` of /recordings.
bool Vanished(const StuckKey& key, const Survey& s, int rootfd);

// The thread that surveys, one survey at a time.
class Surveyor {
 public:
  // Starts a survey unless one is under way.
  void Ask(const std::vector<long long>& stuckCalls);
  bool Busy() const { return pending_.valid(); }
  // Waits up to `seconds` for the survey under way; true when it ended.
  bool Await(double seconds);
  // The survey that ended since the last call, if one did; never waits.
  std::optional<Survey> Take();

 private:
  Serial thread_;
  std::future<Survey> pending_;
};

#endif  // FIFODEL_SURVEY_H_

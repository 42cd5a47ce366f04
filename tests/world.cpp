#include "world.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "paths.h"
#include "sandbox.h"

namespace fs = std::filesystem;

std::vector<std::string> Psql(const std::string& sql) {
  std::ofstream("/run/world.sql") << sql;
  std::istringstream out(
      Output("psql -U root -d tolvex -qAt -f /run/world.sql 2>&1"));
  std::vector<std::string> rows;
  for (std::string row; std::getline(out, row);) rows.push_back(row);
  return rows;
}

int Sh(const std::string& cmd) {
  int status = system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  for (int c; p && (c = fgetc(p)) != EOF;) out += static_cast<char>(c);
  if (p) pclose(p);
  return out;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

long long FreeBytes() {
  struct statvfs sv;
  return statvfs(RECORDINGS_DIR, &sv) == 0 ? sv.f_bavail * sv.f_bsize : -1;
}

void ReadOnly(const std::string& dir) {
  ASSERT_EQ(0, mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr));
  ASSERT_EQ(0, mount(nullptr, dir.c_str(), nullptr,
                     MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
}

std::string HourDir(time_t t, bool fUtc) {
  struct tm tm;
  char buf[16];
  strftime(buf, sizeof buf, "%Y/%m/%d/%H",
           fUtc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm));
  return buf;
}

bool Settled(Service& svc, bool fJournal) {
  int open = 0;
  long long bytes;
  for (const std::string& l : svc.Lines())
    open += sscanf(l.c_str(), "FIFO_delete: %lld bytes to", &bytes) == 1 ? 1
            : l == "FIFO_delete: finished"                               ? -1
                                                                         : 0;
  struct stat st;
  return open == 0 && FreeBytes() >= 250 * kMB &&
         (!fJournal || stat(JOURNAL_FILE, &st) != 0 || st.st_size == 0);
}

PassReport FullPass(const StuckRegistry* known) {
  return RunPass({1 << 30, false, 1, known, {}});  // its fields in order
}

namespace {

// Path to content of every regular file below `dir`, links not followed.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink())
      files[e.path()] = Slurp(e.path());
  return files;
}

std::pair<unsigned long long, long long> IdOf(const std::string& path) {
  struct statx stx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW,
            STATX_INO | STATX_BTIME, &stx) != 0)
    return {0, 0};
  return {stx.stx_ino,
          stx.stx_btime.tv_sec * 1000000000LL + stx.stx_btime.tv_nsec};
}

// How often the audit trail names each file as removed or shredded.
std::map<std::string, int> Audited() {
  std::map<std::string, int> named;
  std::istringstream audit(Slurp(AUDIT_FILE));
  for (std::string line, field; std::getline(audit, line);) {
    std::istringstream fields(line);
    while (std::getline(fields, field, '\t'))
      for (const std::string verb : {"removed ", "shredded "})
        if (field.compare(0, verb.size(), verb) == 0)
          ++named[field.substr(verb.size())];
  }
  return named;
}

}  // namespace

void World::Reset(int mb) {
  FreshSandbox();
  FreshTmpfs(RECORDINGS_DIR, mb);
  files_.clear();
  added_.clear();
  Psql(
      "TRUNCATE calls, configs; INSERT INTO configs SELECT 'TN' || i || "
      "'_DiskUsage', '" +
      std::to_string(kCounter) + "', 'x' FROM generate_series(1, 3) i");
  MakeFile(std::string(kOut) + "/victim", 4096);
}

void World::Track(const std::string& path, long long call, int tenant,
                  bool fPending) {
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
  files_.push_back({path, call, tenant, st.st_size, IdOf(path), fPending});
}

void World::Untrack(const std::string& path) {
  files_.erase(std::remove_if(files_.begin(), files_.end(),
                              [&](const File& f) { return f.path == path; }),
               files_.end());
}

void World::AddCall(long long id, const std::string& dir, int tenant,
                    long long bytes, bool archived) {
  const std::string media = std::string(RECORDINGS_DIR "/") + dir + "/c" +
                            std::to_string(id) + ".wav";
  MakeFile(media, bytes);
  MakeFile(media + ".g711", bytes / 8);
  Track(media, id, tenant, !archived);
  Track(media + ".g711", id, tenant, !archived);
  AddRow(id, dir, tenant, archived);
}

void World::AddRow(long long id, const std::string& dir, int tenant,
                   bool archived) {
  rows_ += (rows_.empty() ? "" : ",") + std::string("(") + std::to_string(id) +
           ",'" + dir + "','c" + std::to_string(id) + ".wav',0," +
           std::to_string(tenant) + ",NULL," + (archived ? "1" : "0") +
           ",'2021-03-04'::timestamp + interval '" + std::to_string(id) +
           " s')";
}

void World::Added(int tenant, long long bytes) {
  added_[tenant] += bytes;
  Psql("UPDATE configs SET value = value::bigint + " + std::to_string(bytes) +
       " WHERE param = 'TN" + std::to_string(tenant) + "_DiskUsage'");
}

void World::Insert() {
  if (!rows_.empty()) Psql("INSERT INTO calls VALUES " + rows_);
  rows_.clear();
  outside_ = Snapshot(kOut);
}

void World::Check(Checks c) {
  EXPECT_EQ(outside_, Snapshot(kOut)) << "outside the tree";
  for (const auto& [path, content] : kept_)
    EXPECT_EQ(content, Slurp(path)) << path;
  std::map<long long, std::string> state;  // call: "isarchived|flags"
  for (const std::string& row :
       Psql("SELECT id, isarchived || '|' || (flags & 4) FROM calls")) {
    size_t bar = row.find('|');
    state[std::stoll(row.substr(0, bar))] = row.substr(bar + 1);
  }
  std::set<std::pair<unsigned long long, long long>> present;
  for (const auto& e : fs::recursive_directory_iterator(RECORDINGS_DIR))
    if (e.is_regular_file()) present.insert(IdOf(e.path()));
  std::map<std::string, int> gone, audited;
  if (c.fSettled) audited = Audited();
  std::map<long long, bool> mediaGone;  // by the call's last media tracked
  std::map<int, long long> bytes = added_;
  for (const File& f : files_) {
    bool fGone = !present.count(f.id);
    EXPECT_FALSE(fGone && (f.fPending || state[f.call] == "0|0"))
        << "not archived: " << f.path;
    if (f.path.compare(f.path.size() - 4, 4, ".wav") == 0)
      mediaGone[f.call] = fGone;
    if (!fGone) continue;
    bytes[f.tenant] -= f.size, ++gone[f.path];
    EXPECT_TRUE(!c.fSettled || audited.count(f.path))
        << "not audited: " << f.path;
  }
  if (c.fExactAudit) EXPECT_EQ(gone, audited) << "audit trail";
  for (const auto& [call, fGone] : mediaGone) {
    bool fMarked = state[call] == "0|4";
    EXPECT_TRUE(!c.fMarks ||
                (c.fSettled ? fGone == fMarked : fGone || !fMarked))
        << "call " << call << (fGone ? " gone, " : " there, ") << state[call];
  }
  for (int t = 1; t <= 3; ++t) {
    const std::vector<std::string> rows =
        Psql("SELECT value FROM configs WHERE param = 'TN" + std::to_string(t) +
             "_DiskUsage'");
    const long long want = kCounter + bytes[t];
    EXPECT_GE(rows.size() == 1 ? atoll(rows[0].c_str()) : -1, want)
        << "tenant " << t << " charged twice";
    EXPECT_TRUE(c.fLossSaid ||
                rows == std::vector<std::string>{std::to_string(want)})
        << "tenant " << t << " charged other than " << want;
  }
}

namespace {

std::string ServerLog() {
  const char* host = getenv("PGHOST");
  return Slurp(std::string(host ? host : "") + "/postgresql.log");
}

}  // namespace

void DbTest::SetUp() {
  SandboxTest::SetUp();
  Sql("TRUNCATE calls, configs");
  Mark();
}

void DbTest::Sql(const std::string& sql) {
  EXPECT_EQ(std::vector<std::string>{}, Psql(sql)) << sql;
}

std::string DbTest::Scalar(const std::string& sql) {
  const std::vector<std::string> rows = Psql(sql);
  return rows.empty() ? "" : rows[0];
}

void DbTest::Mark() { mark_ = ServerLog().size(); }

std::vector<std::string> DbTest::LoggedTexts() {
  std::istringstream log(ServerLog().substr(mark_));
  std::vector<std::string> texts;
  const std::string tag = " LOG:  statement: ";
  for (std::string line; std::getline(log, line);)
    if (line.find(tag) != std::string::npos)
      texts.push_back(line.substr(line.find(tag) + tag.size()));
  return texts;
}

#include "world.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
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
  PassRequest req;
  req.liBytesToFree = 1 << 30;
  req.known = known;
  return RunPass(req);
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

}  // namespace

void World::Reset(int mb) {
  FreshSandbox();
  FreshTmpfs(RECORDINGS_DIR, mb);
  files_.clear();
  Psql(
      "TRUNCATE calls, configs; INSERT INTO configs SELECT 'TN' || i || "
      "'_DiskUsage', '" +
      std::to_string(kCounter) + "', 'x' FROM generate_series(1, 3) i");
  MakeFile(std::string(kOut) + "/victim", 4096);
}

void World::Track(const std::string& path, long long id, int tenant) {
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
  files_[path] = {id, tenant, st.st_ino, st.st_size};
}

void World::AddCall(long long id, const std::string& dir, int tenant,
                    long long bytes, bool archived, const std::string& rowDir) {
  const std::string media = std::string(RECORDINGS_DIR "/") + dir + "/c" +
                            std::to_string(id) + ".wav";
  MakeFile(media, bytes);
  MakeFile(media + ".g711", bytes / 8);
  Track(media, id, tenant);
  Track(media + ".g711", id, tenant);
  AddRow(id, rowDir.empty() ? dir : rowDir, tenant, archived);
}

void World::AddRow(long long id, const std::string& dir, int tenant,
                   bool archived) {
  rows_ += (rows_.empty() ? "" : ",") + std::string("(") + std::to_string(id) +
           ",'" + dir + "','c" + std::to_string(id) + ".wav',0," +
           std::to_string(tenant) + ",NULL," + (archived ? "1" : "0") +
           ",'2021-03-04'::timestamp + interval '" + std::to_string(id) +
           " s')";
}

void World::Insert() {
  if (!rows_.empty()) Psql("INSERT INTO calls VALUES " + rows_);
  rows_.clear();
  outside_ = Snapshot(kOut);
}

bool World::IsGone(const std::string& path, const File& f) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 || st.st_ino != f.ino;
}

long long World::Gone(int tenant) {
  long long bytes = 0;
  for (const auto& [path, f] : files_)
    if (f.tenant == tenant && IsGone(path, f)) bytes += f.size;
  return bytes;
}

void World::Check(bool fSettled) {
  EXPECT_EQ(outside_, Snapshot(kOut)) << "outside the tree";
  for (const auto& [path, content] : kept_)
    EXPECT_EQ(content, Slurp(path)) << path;
  std::map<long long, std::string> state;  // call: "isarchived|flags"
  for (const std::string& row :
       Psql("SELECT id, isarchived || '|' || (flags & 4) FROM calls")) {
    size_t bar = row.find('|');
    state[std::stoll(row.substr(0, bar))] = row.substr(bar + 1);
  }
  const std::string audit = fSettled ? Slurp(AUDIT_FILE) : "";
  for (const auto& [path, f] : files_) {
    bool fGone = IsGone(path, f);
    EXPECT_FALSE(fGone && state[f.call] == "0|0") << "not archived: " << path;
    bool fMedia = path.compare(path.size() - 4, 4, ".wav") == 0;
    EXPECT_FALSE(fMedia && !fGone && state[f.call] == "0|4")
        << "marked: " << path;
    if (!fSettled || !fGone) continue;
    EXPECT_TRUE(!fMedia || state[f.call] == "0|4")
        << "gone, not marked: " << path;
    EXPECT_TRUE(audit.find(" " + path + "\t") != std::string::npos ||
                audit.find(" " + path + "\n") != std::string::npos)
        << "not audited: " << path;
  }
  for (int t = 1; t <= 3; ++t)
    EXPECT_EQ(std::vector<std::string>{std::to_string(kCounter - Gone(t))},
              Psql("SELECT value FROM configs WHERE param = 'TN" +
                   std::to_string(t) + "_DiskUsage'"))
        << "tenant " << t;
}

// The mount point protocol; scripts/sandbox.sh speaks the same with flock(1).
#include "mountpoints.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kDir[] = "/run/fifodel-sandbox";
int g_dirFd = -1, g_lockFd = -1;

[[noreturn]] void Die(const std::string& what) {
  fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno));
  exit(1);
}

// `name` in the protocol's directory, never through a link.
FILE* OpenRecord(const char* name, int flags, const char* mode) {
  int fd = openat(g_dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* f = fd >= 0 ? fdopen(fd, mode) : nullptr;
  if (fd >= 0 && !f) close(fd);
  return f;
}

// mkdir -p that records what it made, outermost first.
void MakeDirs(const std::string& path, FILE* made) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) == 0)
      fprintf(made, "%s\n", dir.c_str());
    else if (errno != EEXIST)
      Die(dir);
  }
}

bool AllExist(const char* const* paths) {
  struct stat st;
  for (; *paths; ++paths)
    if (stat(*paths, &st) != 0) return false;
  return true;
}

}  // namespace

int OpenPrivateDir(const char* path) {
  mkdir(path, 0700);
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == 0 &&
      (st.st_mode & 077) == 0)
    return fd;
  if (fd >= 0) {
    close(fd);
    errno = EPERM;  // there, but not root's alone
  }
  return -1;
}

void ClaimMountPoints(const char* const* paths) {
  g_dirFd = OpenPrivateDir(kDir);
  if (g_dirFd < 0) Die(std::string(kDir) + ": no private directory of root's");
  g_lockFd =
      openat(g_dirFd, "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (g_lockFd < 0) Die("lock");
  // Usually everything is there: a shared lock then suffices, and runs
  // that overlap (a benchmark beside the tests) do not wait for each other.
  if (flock(g_lockFd, LOCK_SH) != 0) Die("lock");
  if (AllExist(paths)) return;
  // Going from exclusive to shared is not atomic: a last claimant may slip
  // in between and remove what was just made, so check and try again.
  do {
    if (flock(g_lockFd, LOCK_EX) != 0) Die("lock");
    FILE* made = OpenRecord("made", O_WRONLY | O_APPEND | O_CREAT, "a");
    if (!made) Die("made");
    for (const char* const* p = paths; *p; ++p) MakeDirs(*p, made);
    fclose(made);
    if (flock(g_lockFd, LOCK_SH) != 0) Die("lock");
  } while (!AllExist(paths));
}

void ReleaseMountPoints() {
  if (flock(g_lockFd, LOCK_EX | LOCK_NB) == 0) {
    std::vector<std::string> dirs;
    if (FILE* made = OpenRecord("made", O_RDONLY, "r")) {
      char line[4096];
      while (fgets(line, sizeof line, made))
        dirs.emplace_back(line, strcspn(line, "\n"));
      fclose(made);
    }
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) rmdir(it->c_str());
    unlinkat(g_dirFd, "made", 0);
  }
  close(g_lockFd), close(g_dirFd);
  g_lockFd = g_dirFd = -1;
}

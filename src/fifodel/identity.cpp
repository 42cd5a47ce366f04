// A handle is opened only to find a directory that moved: it needs
// CAP_DAC_READ_SEARCH, which the service has as root; without it a moved
// directory is simply not found, which a replay takes as undecided.
#include "identity.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace {

const unsigned kMaxHandle = 128;  // MAX_HANDLE_SZ

// The kernel's handle ends in a flexible array; its bytes are named apart,
// where the compiler knows their bounds.
struct Handle {
  struct file_handle h;
  unsigned char bytes[kMaxHandle];
};
static_assert(offsetof(Handle, bytes) == offsetof(file_handle, f_handle),
              "a handle's bytes follow its header");

std::string HandleText(const Handle& fh) {
  std::string text = std::to_string(fh.h.handle_type) + ":";
  for (unsigned i = 0; i < fh.h.handle_bytes; ++i) {
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", fh.bytes[i]);
    text += hex;
  }
  return text;
}

bool ParseHandle(const std::string& text, Handle* fh) {
  size_t colon = text.find(':');
  size_t n = colon == std::string::npos ? 0 : (text.size() - colon - 1) / 2;
  if (n == 0 || n > kMaxHandle || (text.size() - colon - 1) % 2) return false;
  fh->h.handle_type = atoi(text.c_str());
  fh->h.handle_bytes = static_cast<unsigned>(n);
  for (size_t i = 0; i < n; ++i) {
    char hex[3] = {text[colon + 1 + 2 * i], text[colon + 2 + 2 * i], 0};
    char* end;
    fh->bytes[i] = static_cast<unsigned char>(strtoul(hex, &end, 16));
    if (*end) return false;
  }
  return true;
}

}  // namespace

bool StatxAt(int dirfd, const char* name, struct statx* stx) {
  int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
  return statx(dirfd, name, flags, STATX_BASIC_STATS | STATX_BTIME, stx) == 0;
}

FileId FileIdOf(const struct statx& stx) {
  FileId id;
  id.ullIno = stx.stx_ino;
  if (stx.stx_mask & STATX_BTIME)
    id.llBirth = stx.stx_btime.tv_sec * 1000000000LL + stx.stx_btime.tv_nsec;
  return id;
}

bool DirIdOf(int fd, DirId* dir) {
  struct statfs sfs;
  struct statx stx;
  if (fstatfs(fd, &sfs) != 0 || !StatxAt(fd, "", &stx)) return false;
  static_assert(sizeof sfs.f_fsid == sizeof dir->ullFs, "f_fsid is 64 bits");
  memcpy(&dir->ullFs, &sfs.f_fsid, sizeof dir->ullFs);
  dir->id = FileIdOf(stx);
  Handle fh;
  fh.h.handle_bytes = kMaxHandle;
  int mount;
  dir->strHandle = name_to_handle_at(fd, "", &fh.h, &mount, AT_EMPTY_PATH) == 0
                       ? HandleText(fh)
                       : "";
  return true;
}

int OpenDirByHandle(int mountfd, const DirId& dir) {
  Handle fh;
  if (!ParseHandle(dir.strHandle, &fh)) {
    errno = ESTALE;
    return -1;
  }
  int fd = open_by_handle_at(mountfd, &fh.h,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DirId now;
  if (fd < 0 || (DirIdOf(fd, &now) && now == dir)) return fd;
  close(fd);
  errno = ESTALE;
  return -1;
}

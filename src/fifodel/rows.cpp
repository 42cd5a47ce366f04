// A row is refused before any path is built from it: the descriptor-based
// walk would stop an escape anyway, but such a row must be marked and logged
// once rather than tried again by every pass.
#include "rows.h"

#include <string.h>

namespace {

bool HasDotDotComponent(const char* acPath) {
  if (acPath == nullptr) return false;
  for (const char* p = acPath; *p;) {
    size_t len = strcspn(p, "/");
    if (len == 2 && p[0] == '.' && p[1] == '.') return true;
    p += len;
    if (*p == '/') ++p;
  }
  return false;
}

// The last component of a media name: what the pass will unlink.
bool NamesNoFile(const char* acFilename) {
  const char* acLeaf = strrchr(acFilename, '/');
  acLeaf = acLeaf ? acLeaf + 1 : acFilename;
  return *acLeaf == '\0' || strcmp(acLeaf, ".") == 0;
}

}  // namespace

const char* RowProblem(const char* acDirectory, const char* acFilename,
                       const char* acScreenFn) {
  if (acDirectory == nullptr) return "directory is NULL";
  if (acFilename == nullptr) return "filename is NULL";
  if (HasDotDotComponent(acDirectory) || HasDotDotComponent(acFilename) ||
      HasDotDotComponent(acScreenFn))
    return "a '..' path component would leave /recordings";
  if (NamesNoFile(acFilename)) return "the media name names no file";
  return nullptr;
}

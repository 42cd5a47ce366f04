// Walks without following links or crossing mounts, as the service must.
#include "treecheck.h"

#include <ftw.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink())
      files[e.path()] = std::string(
          std::istreambuf_iterator<char>(std::ifstream(e.path()).rdbuf()), {});
  return files;
}

namespace {
std::map<ino_t, long long> g_inodes;
}  // namespace

std::map<ino_t, long long> InodesBelow(const std::string& dir) {
  g_inodes.clear();
  nftw(
      dir.c_str(),
      [](const char*, const struct stat* st, int type, FTW*) {
        if (type == FTW_F && S_ISREG(st->st_mode))
          g_inodes[st->st_ino] = st->st_size;
        return 0;
      },
      16, FTW_PHYS | FTW_MOUNT);
  return g_inodes;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

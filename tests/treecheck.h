// What the hostile-tree and fault tests compare before and after a pass: the
// files outside the tree, and which inodes of the tree are still there.
#ifndef FIFODEL_TESTS_TREECHECK_H_
#define FIFODEL_TESTS_TREECHECK_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// Path to content of every regular file below `dir`, links not followed.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// Inode to size of every regular file below `dir` on its own file system:
// the bytes that can still leave the disk.
std::map<ino_t, long long> InodesBelow(const std::string& dir);

// The lines of `text`.
std::vector<std::string> Lines(const std::string& text);

#endif  // FIFODEL_TESTS_TREECHECK_H_

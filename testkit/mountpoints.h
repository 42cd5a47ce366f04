// Mount points on the host, shared by every sandbox on the machine: tests,
// demo and benchmarks, in C++ and in scripts/sandbox.sh alike, follow one
// protocol on the lock "lock" in the directory /run/fifodel-sandbox. A run
// creates what is missing under the exclusive lock, records it in "made"
// there and holds the lock shared while it runs; whoever ends last removes
// what was recorded. A directory that another run still mounts on is thus
// never removed, which would detach that run's tmpfs. The two files live
// where only root may write, in a directory of root's alone: a name in /tmp
// could be planted by any user, and root would then lock, append to or
// remove what the planted link leads to.
#ifndef FIFODEL_TESTKIT_MOUNTPOINTS_H_
#define FIFODEL_TESTKIT_MOUNTPOINTS_H_

// The directory `path`, made with mode 0700 when missing, open: -1 unless
// it is then a directory of root's that nobody else may enter, not a
// symbolic link. sandbox_private_dir in scripts/sandbox.sh applies the same
// rule.
int OpenPrivateDir(const char* path);

// Creates the missing directories among `paths` (nullptr-ended) and their
// parents, and claims them until ReleaseMountPoints. Exits the process when
// one cannot be created.
void ClaimMountPoints(const char* const* paths);

// Ends the claim; the last claimant removes every recorded directory that is
// empty, innermost first.
void ReleaseMountPoints();

#endif  // FIFODEL_TESTKIT_MOUNTPOINTS_H_

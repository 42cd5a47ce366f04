// Mount points on the host, shared by every sandbox on the machine: tests,
// demo and benchmarks, in C++ and in scripts/sandbox.sh alike, follow one
// protocol on /tmp/fifodel-sandbox.lock. A run creates what is missing under
// the exclusive lock, records it in /tmp/fifodel-sandbox.made and holds the
// lock shared while it runs; whoever ends last removes what was recorded.
// A directory that another run still mounts on is thus never removed, which
// would detach that run's tmpfs.
#ifndef FIFODEL_TESTKIT_MOUNTPOINTS_H_
#define FIFODEL_TESTKIT_MOUNTPOINTS_H_

// Creates the missing directories among `paths` (nullptr-ended) and their
// parents, and claims them until ReleaseMountPoints. Exits the process when
// one cannot be created.
void ClaimMountPoints(const char* const* paths);

// Ends the claim; the last claimant removes every recorded directory that is
// empty, innermost first.
void ReleaseMountPoints();

#endif  // FIFODEL_TESTKIT_MOUNTPOINTS_H_

// The test scripts' own files in host paths that root shares with the
// machine's other runs: a name another user planted first (a link, a file,
// a directory of theirs or one anyone may enter) is refused untouched, by
// the C++ and the shell side of the sandbox alike, and by the creation of
// the PostgreSQL template.
#include "sandbox.h"

#include <unistd.h>

#include "mountpoints.h"
#include "world.h"

namespace {

TEST(SandboxFilesTest, PlantedObjectsAreRefused) {
  const std::string at = "/run/planted";  // this sandbox's own /run
  const struct {
    const char* plant;  // a shell command; $P is the path
    bool ours;
    bool fTemplate;  // the template refuses it too (it only knows owners)
  } cases[] = {
      {"", true, false},
      {"mkdir -m 700 $P", true, false},
      {"mkdir -m 700 $P.d; ln -s $P.d $P", false, true},
      {"touch $P", false, true},
      {"mkdir -m 700 $P; chown nobody $P", false, true},
      {"mkdir -m 777 $P", false, false},
  };
  const std::string look = "stat -c '%F %U %a' " + at + "*";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant);
    Sh("rm -rf " + at + "*; P=" + at + "; " + c.plant);
    const std::string before = Output(look);
    int fd = OpenPrivateDir(at.c_str());
    EXPECT_EQ(c.ours, fd >= 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(c.ours ? 0 : 1,
              Sh("cd " SOURCE_DIR " && bash -c 'source scripts/sandbox.sh; "
                 "sandbox_private_dir " +
                 at + "' 2>/dev/null"));
    if (!c.fTemplate) continue;
    EXPECT_EQ(before, Output(look));
    EXPECT_NE(0, Sh(SOURCE_DIR "/scripts/pgsandbox template " + at +
                    " /dev/null 2>/dev/null"));
    EXPECT_EQ(before, Output(look)) << "untouched";
  }
}

}  // namespace

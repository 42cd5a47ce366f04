// Removal of single files by descriptor and of whole tree directories,
// checked on real files in the sandbox and on the lines that reach the
// system logger.
#include "removal.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "db.h"
#include "dbfixture.h"
#include "logging.h"
#include "prune.h"
#include "tree.h"

namespace {

using Lines = std::vector<std::string>;

// What was logged since the last call; "<pri>" before all but notices.
Lines Texts() {
  Lines texts;
  for (const SyslogLine& l : TakeSyslog())
    texts.push_back((l.pri == 13 ? "" : "<" + std::to_string(l.pri) + ">") +
                    l.text);
  return texts;
}

std::string R(const std::string& d) { return "/recordings/" + d; }

using RemovalTest = DbTest;

// Unlink, then (marker read anew per file) shred through the descriptor: the
// bytes are overwritten in place, whatever the name holds.
TEST_F(RemovalTest, UnlinkThenShredInPlace) {
  EXPECT_EQ("''", escapeShellArg(""));
  EXPECT_EQ("'it'\\''s'", escapeShellArg("it's"));
  Tree tree;
  ASSERT_TRUE(tree.Open());
  ConfDir conf;
  MakeFile(R("f"), 10);
  EXPECT_FALSE(conf.SecureDelete());
  EXPECT_TRUE(DeleteFn(tree.root(), "f", "x", false) && !Exists(R("f")));
  EXPECT_FALSE(DeleteFn(tree.root(), "f", "x", false));
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  EXPECT_TRUE(conf.SecureDelete());
  for (std::string name : {"it's", "$(rm x)", "new\nline"}) {
    MakeFile(R(name), 0);
    int fd = open(R(name).c_str(), O_RDWR);
    ASSERT_EQ(4, write(fd, "abcd", 4));
    EXPECT_TRUE(DeleteFn(tree.root(), name.c_str(), R(name).c_str(), true));
    char buf[4];
    EXPECT_EQ(4, pread(fd, buf, 4, 0));
    EXPECT_NE(0, memcmp(buf, "abcd", 4)) << "not overwritten: " << name;
    close(fd);
    EXPECT_FALSE(Exists(R(name)));
    EXPECT_EQ(Lines{"FIFO shredding " + Printable(R(name))}, Texts());
  }
}

// For a call in 2012/04/31/02 (day 31 is taken in any month): stale
// directories in removal order (gaps at 2011 and 2012/02), then kept ones.
const char* const kTree[] = {"2010",          "2012/03",    "2012/01",
                             "2012/04/30",    "2012/04/01", "2012/04/31/01",
                             "2012/04/31/00", "2009/01",    "2012/04/31/02",
                             "2012/04/31/23", "2012/05",    "2013"};
const size_t kStale = 7;

TEST_F(RemovalTest, PruneRemovesOlderDirectoriesInOrder) {
  for (const char* d : kTree) MakeFile(R(d) + "/x", 1);
  Tree tree;
  ASSERT_TRUE(tree.Open());
  dbi_conn conn;
  ASSERT_EQ(0, getDbConnection(&conn));
  const PruneContext ctx = {tree.root(), conn, 1};
  // Malformed, out of range, or nothing older: false, nothing removed.
  for (std::string c :
       {"2010/01/01/00", "2012/03/02/0a", "2012/03/02 02", "2012/03/02/2",
        "2012/03/02/02/", "2009/12/31/23", "2012/00/02/02", "2012/13/02/02",
        "2012/03/00/02", "2012/03/32/02", "2012/03/02/24"}) {
    EXPECT_FALSE(FifoOldestEntry(c, false, ctx)) << c;
    EXPECT_EQ(Lines{"FIFO oldest entry in directory " + c + " "}, Texts());
  }
  for (bool fSim : {true, false}) {
    EXPECT_TRUE(FifoOldestEntry("2012/04/31/02", fSim, ctx));
    Lines expected = {"FIFO oldest entry in directory 2012/04/31/02 "};
    for (size_t i = 0; i < kStale; ++i)
      expected.push_back("FIFO delete directory: " + R(kTree[i]) + " ");
    for (size_t i = 0; i < std::size(kTree); ++i)
      EXPECT_EQ(fSim || i >= kStale, Exists(R(kTree[i]) + "/x")) << kTree[i];
    EXPECT_EQ(expected, Texts()) << "simulated " << fSim;
  }
  // A file that cannot go keeps its directory, said once; nothing pruned.
  MakeFile(R("2011/y"), 1);
  ASSERT_TRUE(SetImmutable(R("2011/y"), true));
  for (const char* stays : {"<12>FIFO: /recordings/2011/y stays: Operation "
                            "not permitted",
                            ""}) {
    EXPECT_FALSE(FifoOldestEntry("2012/04/31/02", false, ctx));
    Lines expected = {"FIFO oldest entry in directory 2012/04/31/02 ",
                      "FIFO delete directory: /recordings/2011 "};
    if (*stays) expected.push_back(stays);
    EXPECT_EQ(expected, Texts());
  }
  EXPECT_TRUE(SetImmutable(R("2011/y"), false));
  dbi_conn_close(conn);
}

}  // namespace

// Removal of single files and of whole tree directories, checked on real
// files in the sandbox and on the lines that reach the system logger.
#include "removal.h"

#include "prune.h"
#include "sandbox.h"

using Lines = std::vector<std::string>;
using RemovalTest = SandboxTest;

static Lines Texts() {  // what was logged since the last call, all notices
  Lines texts;
  for (const SyslogLine& l : TakeSyslog())
    texts.push_back(l.pri == 13 ? l.text : "not a notice: " + l.raw);
  return texts;
}

static std::string R(const std::string& d) { return "/recordings/" + d; }

// Unlink, then (marker read anew per file) shred taking any name as one shell
// word. A missing name or a directory gives false; only shred runs log a line.
TEST_F(RemovalTest, UnlinkThenShredAnyNameAsOneWord) {
  EXPECT_EQ("''", escapeShellArg(""));
  EXPECT_EQ("'it'\\''s'", escapeShellArg("it's"));
  MakeFile(R("canary"), 1);
  MakeFile(R("f"), 10);
  MakeFile(R("d/x"), 10);
  EXPECT_TRUE(DeleteFn(R("f").c_str()) && !Exists(R("f")));
  EXPECT_FALSE(DeleteFn(R("f").c_str()) || DeleteFn(R("d").c_str()));
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  for (std::string name : {"it's", " two  blanks ", "$(rm /recordings/canary)",
                           "new\nline", "a;rm /recordings/canary"}) {
    MakeFile(R(name), 5000);
    EXPECT_TRUE(DeleteFn(R(name).c_str()) && !Exists(R(name))) << name;
    EXPECT_EQ(Lines{"FIFO shredding " + R(name)}, Texts());
  }
  EXPECT_TRUE(Exists(R("canary")));
  EXPECT_FALSE(DeleteFn(R("f").c_str()) || DeleteFn(R("d").c_str()));
  EXPECT_EQ(Lines{"FIFO shredding /recordings/d"}, Texts());
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
  // Malformed, out of range, or nothing older: false, nothing removed.
  for (std::string c :
       {"2010/01/01/00", "2012/03/02/0a", "2012/03/02 02", "2012/03/02/2",
        "2012/03/02/02/", "2009/12/31/23", "2012/00/02/02", "2012/13/02/02",
        "2012/03/00/02", "2012/03/32/02", "2012/03/02/24"}) {
    EXPECT_FALSE(FifoOldestEntry(c, false)) << c;
    EXPECT_EQ(Lines{"FIFO oldest entry in directory " + c + " "}, Texts());
  }
  for (bool fSim : {true, false}) {
    EXPECT_TRUE(FifoOldestEntry("2012/04/31/02", fSim));
    Lines expected = {"FIFO oldest entry in directory 2012/04/31/02 "};
    for (size_t i = 0; i < kStale; ++i)
      expected.push_back("FIFO delete directory: " + R(kTree[i]) + " ");
    for (size_t i = 0; i < std::size(kTree); ++i)
      EXPECT_EQ(fSim || i >= kStale, Exists(R(kTree[i]) + "/x")) << kTree[i];
    EXPECT_EQ(expected, Texts()) << "simulated " << fSim;
  }
}

// Removal of single files and of whole tree directories, checked on real
// files in the sandbox and on the lines that reach the system logger.
#include "removal.h"

#include "prune.h"
#include "sandbox.h"

namespace {

using Lines = std::vector<std::string>;

Lines Texts() {
  Lines texts;
  for (const SyslogLine& l : TakeSyslog()) {
    EXPECT_EQ(13, l.pri) << l.raw;
    texts.push_back(l.text);
  }
  return texts;
}

std::string R(const std::string& d) { return "/recordings/" + d; }

TEST(RemovalTest, EscapeShellArg) {
  EXPECT_EQ("''", escapeShellArg(""));
  EXPECT_EQ("'it'\\''s'", escapeShellArg("it's"));
  EXPECT_EQ("'\\ $x'", escapeShellArg("\\ $x"));
}

using RemovalSandboxTest = SandboxTest;

TEST_F(RemovalSandboxTest, PlainRemovalUnlinksFilesOnly) {
  MakeFile(R("f"), 10);
  MakeFile(R("d/x"), 10);
  EXPECT_TRUE(file_exists(R("d")));  // any kind of object
  EXPECT_TRUE(DeleteFn(R("f").c_str()));
  EXPECT_FALSE(file_exists(R("f")));
  EXPECT_FALSE(DeleteFn(R("f").c_str()));
  EXPECT_FALSE(DeleteFn(R("d").c_str()));
  EXPECT_TRUE(Exists(R("d/x")));
  EXPECT_EQ(Lines{}, Texts());
}

TEST_F(RemovalSandboxTest, ShredTakesAnyNameAsOneWord) {
  MakeFile(R("canary"), 1);
  MakeFile(R("s/plain"), 10);
  EXPECT_TRUE(DeleteFn(R("s/plain").c_str()));  // no marker yet: no line
  MakeFile("/var/tolvex/conf/opt_secure_delete", 0);
  Lines expected;
  for (std::string name :
       {"it's", " two  blanks ", "$(rm /recordings/canary)",
        "`rm /recordings/canary`", "new\nline", "a;rm /recordings/canary"}) {
    MakeFile(R("s/" + name), 5000);
    EXPECT_TRUE(DeleteFn(R("s/" + name).c_str())) << name;
    EXPECT_FALSE(Exists(R("s/" + name))) << name;
    expected.push_back("FIFO shredding /recordings/s/" + name);
  }
  EXPECT_TRUE(Exists(R("canary")));
  EXPECT_FALSE(DeleteFn(R("s/missing").c_str()));  // no command, no line
  MakeFile(R("s/dir/x"), 10);  // shred cannot take a directory
  EXPECT_FALSE(DeleteFn(R("s/dir").c_str()));
  EXPECT_TRUE(Exists(R("s/dir/x")));
  expected.push_back("FIFO shredding /recordings/s/dir");
  EXPECT_EQ(expected, Texts());
}

// For a call in 2012/03/02/02: the stale directories in removal order, and
// directories that must survive.
const char* const kStale[] = {"2011",         "2010",       "2012/02",
                              "2012/01",      "2012/03/01", "2012/03/02/01",
                              "2012/03/02/00"};
const char* const kKept[] = {"2009/01",    "2012/03/02/02", "2012/03/02/03",
                             "2012/03/03", "2012/04",       "2013"};

void MakeTree() {
  for (const char* d : kStale) MakeFile(R(d) + "/x", 1);
  for (const char* d : kKept) MakeFile(R(d) + "/x", 1);
}

TEST_F(RemovalSandboxTest, PruneRemovesOlderDirectoriesInOrder) {
  for (bool fSim : {true, false}) {
    MakeTree();
    EXPECT_TRUE(FifoOldestEntry("2012/03/02/02", fSim));
    Lines expected = {"FIFO oldest entry in directory 2012/03/02/02 "};
    for (const char* d : kStale) {
      expected.push_back("FIFO delete directory: " + R(d) + " ");
      EXPECT_EQ(fSim, Exists(R(d))) << d;
    }
    for (const char* d : kKept) EXPECT_TRUE(Exists(R(d) + "/x")) << d;
    EXPECT_EQ(expected, Texts()) << "simulated " << fSim;
  }
  EXPECT_FALSE(deleteDirectory(R("2011"), false));
  EXPECT_EQ(Lines{}, Texts());
}

TEST_F(RemovalSandboxTest, PruneRefusesBadDirectories) {
  MakeTree();
  const char* cases[] = {"2010/01/01/00",  // valid, but nothing is older
                         "2012/03/02/0a", "2O12/03/02/02", "2012/03/02 02",
                         "2012/03/02022", "2012/03/02/2",  "2012/03/02/02/",
                         "2009/12/31/23", "2012/00/02/02", "2012/13/02/02",
                         "2012/03/00/02", "2012/03/32/02", "2012/03/02/24"};
  for (std::string c : cases) {
    EXPECT_FALSE(FifoOldestEntry(c, false)) << c;
    EXPECT_EQ(Lines{"FIFO oldest entry in directory " + c + " "}, Texts());
  }
  for (const char* d : kStale) EXPECT_TRUE(Exists(R(d) + "/x")) << d;
  // Day 31 of a 30-day month is taken as it is.
  EXPECT_TRUE(FifoOldestEntry("2012/04/31/00", false));
  EXPECT_FALSE(Exists(R("2012/03")));
  EXPECT_TRUE(Exists(R("2012/04/x")));
}

}  // namespace

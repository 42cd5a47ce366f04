// Tests for the fstring text helpers.
#include "fstring.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace std::string_literals;

TEST(FStringTest, Numbers) {
  const struct {
    long long value;
    const char* text;
  } cases[] = {{0, "0"},
               {INT_MIN, "-2147483648"},
               {INT_MAX, "2147483647"},
               {1234567, "1234567"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, ToStdString(static_cast<int>(c.value)));
    EXPECT_EQ(c.text, ToStdStringLL(c.value));
  }
  EXPECT_EQ("-9223372036854775808", ToStdStringLL(LLONG_MIN));
  EXPECT_EQ("9223372036854775807", ToStdStringLL(LLONG_MAX));
  EXPECT_EQ("", StdStringNullSafe(nullptr));
  EXPECT_EQ("ab", StdStringNullSafe("ab\0cd"));
}

TEST(FStringTest, Trim) {
  const struct {
    std::string in, trimmed, word;
  } cases[] = {{"\t abc def \r\n", "abc def", "abc"},
               {"   ", "   ", ""},
               {"\r\n", "\r\n", ""},
               {"", "", ""},
               {"\vabc\f", "\vabc\f", "abc"},
               {" ab \v", "ab \v", "ab"},
               {"\xa0x\x85", "\xa0x\x85", "\xa0x\x85"}};
  for (const auto& c : cases) {
    std::string str = c.in, word = c.in;
    trim(str);
    OLDtrim(word);
    EXPECT_EQ(c.trimmed, str);
    EXPECT_EQ(c.word, word);
  }
}

TEST(FStringTest, Predicates) {
  const struct {
    std::string haystack, needle;
    bool expected;
  } prefixes[] = {{"abc", "", true},     {"", "", true},
                  {"ab", "abc", false},  {"abc", "ABC", false},
                  {"abcd", "abc", true}, {"a\0x"s, "a\0y"s, false}};
  for (const auto& c : prefixes)
    EXPECT_EQ(c.expected, beginsWith(c.haystack, c.needle)) << c.needle;
  const struct {
    std::string t;
    bool expected;
  } digits[] = {
      {"", false},   {"0", true},     {"000123", true},
      {"-1", false}, {" 1", false},   {"1/", false},
      {"1:", false}, {"1\0"s, false}, {"123456789012345678901234567890", true}};
  for (const auto& c : digits) EXPECT_EQ(c.expected, IsAllDigitsNumber(c.t));
}

TEST(FStringTest, Replace) {
  const struct {
    std::string t, from, to, expected;
  } cases[] = {{"aaaa", "aa", "b", "bb"},    {"aaa", "aa", "b", "ba"},
               {"xaab", "ab", "b", "xab"},   {"abc", "b", "", "ac"},
               {"ab", "abc", "x", "ab"},     {"a.b.c", ".", "..", "a..b..c"},
               {"aaa", "a", "aa", "aaaaaa"}, {"aAa", "a", "b", "bAb"},
               {"abc", "", "x", "abc"}};
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, str_replace(c.t, c.from, c.to)) << c.t;
  const struct {
    int iCnt;
    std::string rep, sep, expected;
  } repeats[] = {{3, "?", ",", "?,?,?"}, {1, "x", ",", "x"},
                 {0, "x", ",", ""},      {INT_MIN, "x", ",", ""},
                 {3, "", "-", "--"},     {3, "ab", "", "ababab"}};
  for (const auto& c : repeats)
    EXPECT_EQ(c.expected, StrRepeat(c.iCnt, c.rep, c.sep)) << c.iCnt;
}

TEST(FStringTest, FileName) {
  const struct {
    std::string in, expected;
  } cases[] = {{"a/b:c*d?.txt", "a_b_c_d_.txt"},
               {"", ""},
               {"..", ".."},
               {" \"%&*/:<>?\\|", "____________"},
               {"\x01\t\x1f\x7f\0"s, "_____"},
               {"\xc3\xa9\xff", "___"},
               {"!#$'()+,-.;=[]^{}~@`_aZ09", "!#$'()+,-.;=[]^{}~@`_aZ09"}};
  for (const auto& c : cases) {
    std::string out = MakeValidFileNameStr(c.in);
    EXPECT_EQ(c.expected, out);
    EXPECT_EQ(c.in.length(), out.length());
  }
}

TEST(FStringTest, Split) {
  using List = std::vector<std::string>;
  const struct {
    List before;
    std::string text;
    char sep;
    List expected;
  } cases[] = {{{"x"}, "a,b,,c,", ',', {"x", "a", "b", "", "c", ""}},
               {{}, "", ',', {""}},
               {{}, "abc", ',', {"abc"}},
               {{}, "a\0,b"s, ',', {"a"}},
               {{}, "a,b", '\0', {"a,b"}}};
  for (const auto& c : cases) {
    List list = c.before;
    lt_split(list, c.text, c.sep);
    EXPECT_EQ(c.expected, list) << c.text;
  }
}

class CopyTest : public testing::Test {
 protected:
  void SetUp() override {
    char acTemplate[] = "/tmp/fstring_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(acTemplate));
    dir_ = acTemplate;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(Path(name), std::ios::binary) << data;
  }
  std::string Read(const std::string& name) {
    std::ostringstream os;
    os << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return os.str();
  }
  std::string dir_;
};

TEST_F(CopyTest, Replacements) {
  const std::string kDots97(97, '.'), kA98(98, 'a'), kA99(99, 'a');
  const struct {
    std::string in;
    std::map<std::string, std::string> repl;
    std::string expected;
  } cases[] = {
      {"l1\nl2\n", {}, "l1\nl2\n"},
      {"AB\n", {{"AB", "X"}, {"X", "Y"}}, "Y\n"},
      {"A B\n", {{"A", "B"}, {"B", "C"}}, "C C\n"},
      {"a\n", {{"", "x"}, {"a", "b"}}, "b\n"},
      {"ab\ncd\n", {{"b\nc", "Z"}}, "ab\ncd\n"},
      {"ab\ncd\n", {{"b\n", "Z"}}, "aZcd\n"},
      {"abc", {{"c", "d"}}, "abd"},
      // 98 characters and a line feed still make one piece; 99 do not.
      {kA98 + "\n", {{"a\n", "Z"}}, kA98.substr(1) + "Z"},
      {kA99 + "\n", {{"a\n", "Z"}}, kA99 + "\n"},
      // A key across the 99-byte border stays; one inside a piece is hit.
      {kDots97 + "KEYS\n", {{"KEYS", "k"}}, kDots97 + "KEYS\n"},
      {"..KEYS" + kDots97 + "\n", {{"KEYS", "k"}}, "..k" + kDots97 + "\n"},
  };
  for (const auto& c : cases) {
    Write("in", c.in);
    EXPECT_EQ(0, CopyWithReplacements(Path("in"), Path("out"), c.repl));
    EXPECT_EQ(c.expected, Read("out")) << c.in;
  }
}

TEST_F(CopyTest, Refusals) {
  EXPECT_EQ(1, CopyWithReplacements(Path("none"), Path("out"), {}));
  EXPECT_FALSE(std::filesystem::exists(Path("out")));
  Write("in", "keep\n");
  EXPECT_EQ(1, CopyWithReplacements(Path("in"), Path("nodir/out"), {}));
  ASSERT_EQ(0, link(Path("in").c_str(), Path("hard").c_str()));
  ASSERT_EQ(0, symlink(Path("in").c_str(), Path("sym").c_str()));
  for (const char* name : {"in", "./in", "hard", "sym"}) {
    EXPECT_EQ(1, CopyWithReplacements(Path("in"), Path(name), {{"k", "x"}}));
    EXPECT_EQ(1, CopyWithReplacements(Path(name), Path("in"), {{"k", "x"}}));
    EXPECT_EQ("keep\n", Read("in")) << name;
  }
}

// Tests for the fstring text helpers: limits and byte-level edge cases.
#include "fstring.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

using namespace std::string_literals;
using S = std::string;
using It = std::istreambuf_iterator<char>;

TEST(FStringTest, NumbersAndPredicates) {
  EXPECT_EQ("-2147483648", ToStdString(INT_MIN));
  EXPECT_EQ("2147483647", ToStdString(INT_MAX));
  EXPECT_EQ("-9223372036854775808", ToStdStringLL(LLONG_MIN));
  EXPECT_EQ("9223372036854775807", ToStdStringLL(LLONG_MAX));
  EXPECT_TRUE(beginsWith("ab", ""));
  EXPECT_FALSE(beginsWith("ab", "abc"));
  EXPECT_FALSE(beginsWith("a\0x"s, "a\0y"s));
  EXPECT_TRUE(IsAllDigitsNumber(S(30, '9')));
  for (S t : {""s, "-1"s, " 1"s, "1/"s, "1:"s, "1\0"s})
    EXPECT_FALSE(IsAllDigitsNumber(t)) << t;
}

// trim: only " \t\r\n", all-blank text kept. OLDtrim: first word, VT/FF blank.
TEST(FStringTest, TrimAndSplit) {
  const std::tuple<S, S, S> trims[] = {
      {"\t ab c \r\n", "ab c", "ab"},
      {"  ", "  ", ""},
      {" \vab\xa0\f ", "\vab\xa0\f", "ab\xa0"}};
  for (auto [in, trimmed, word] : trims) {
    S t = in;
    trim(t);
    OLDtrim(in);
    EXPECT_EQ(trimmed + "|" + word, t + "|" + in);
  }
  std::vector<S> list;  // appended to; k separators give k + 1 fields
  lt_split(list, "a,b,,c,", ',');
  lt_split(list, "", ',');
  lt_split(list, "d\0,e"s, ',');
  EXPECT_EQ((std::vector<S>{"a", "b", "", "c", "", "", "d"}), list);
}

// str_replace: no overlaps, no rescan, empty `from` is a no-op.
TEST(FStringTest, ReplaceRepeatFileName) {
  const std::tuple<S, S, S, S> cases[] = {
      {"aaaa", "aa", "b", "bb"},  {"xaab", "ab", "b", "xab"},
      {"abc", "b", "", "ac"},     {"ab", "abc", "x", "ab"},
      {"a.b", ".", "..", "a..b"}, {"abc", "", "x", "abc"}};
  for (auto [t, from, to, want] : cases)
    EXPECT_EQ(want, str_replace(t, from, to)) << t;
  const std::pair<int, S> reps[] = {{3, "x,x,x"}, {0, ""}, {INT_MIN, ""}};
  for (auto [n, want] : reps) EXPECT_EQ(want, StrRepeat(n, "x", ",")) << n;
  const S kSafe = "!#$'()+,-.;=[]^{}~@`_aZ09",
          kUnsafe = " \"%&*/:<>?\\|\1\t\37\177\0\303\251\377"s;
  EXPECT_EQ(kSafe + S(20, '_'), MakeValidFileNameStr(kSafe + kUnsafe));
}

// Keys apply in ascending order to pieces: a line, or 99 bytes of a longer one.
// A missing source creates nothing; the same file under any name is refused.
TEST(FStringTest, CopyWithReplacements) {
  char dir[] = "/tmp/fstring_test.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  auto P = [&](const S& name) { return S(dir) + "/" + name; };
  auto Read = [&](S n) { return S(It(std::ifstream(P(n)).rdbuf()), {}); };
  const S D(97, '.'), A(98, 'a');  // a 99-byte piece border
  const std::tuple<S, std::map<S, S>, S> cases[] = {
      {"AB\n", {{"AB", "X"}, {"X", "Y"}}, "Y\n"},
      {"ab\ncd", {{"b\n", "Z"}, {"d", "e"}}, "aZce"},
      {A + "\n" + A + "a\n", {{"a\n", "Z"}}, A.substr(1) + "Z" + A + "a\n"},
      {D + "KEYS\n..KEYS" + D, {{"KEYS", "k"}}, D + "KEYS\n..k" + D}};
  for (const auto& [in, repl, want] : cases) {
    std::ofstream(P("in"), std::ios::binary) << in;
    EXPECT_EQ(0, CopyWithReplacements(P("in"), P("out"), repl));
    EXPECT_EQ(want, Read("out")) << in;
  }
  EXPECT_EQ(1, CopyWithReplacements(P("none"), P("new"), {}));
  EXPECT_FALSE(std::filesystem::exists(P("new")));
  ASSERT_EQ(0, link(P("in").c_str(), P("hard").c_str()));
  ASSERT_EQ(0, symlink(P("in").c_str(), P("sym").c_str()));
  for (const char* name : {"in", "./in", "hard", "sym"}) {
    EXPECT_EQ(1, CopyWithReplacements(P("in"), P(name), {{"K", "x"}}));
    EXPECT_EQ(std::get<0>(cases[3]), Read("in")) << name;
  }
  std::filesystem::remove_all(dir);
}

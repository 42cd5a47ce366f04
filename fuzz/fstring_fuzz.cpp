// Feeds arbitrary bytes to the text helpers and checks what their contracts
// promise for any input, not just for the examples the tests know.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fstring.h"

namespace {

void Require(bool ok) {
  if (!ok) abort();
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits the input at its first two 0xff bytes: text, pattern, replacement.
std::vector<std::string> Parts(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i)
    if (data[i] == 0xff && parts.size() < 3)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(data[i]);
  parts.resize(3);
  return parts;
}

void CheckReplace(const std::string& t, const std::string& from,
                  const std::string& to) {
  std::string r = str_replace(t, from, to);
  if (from.empty()) return Require(r == t);
  // Replacing back undoes it when the replacement cannot be confused.
  if (to.size() == 1 && t.find(to) == std::string::npos &&
      from.find(to) == std::string::npos)
    Require(str_replace(r, to, from) == t);
  Require(str_replace(t, from, from) == t);
}

void CheckTrim(const std::string& t) {
  std::string s = t;
  trim(s);
  Require(t.find(s) != std::string::npos);
  if (t.find_first_not_of(" \t\r\n") == std::string::npos)
    Require(s == t);  // all blank
  else
    Require(!Blank(s.front()) && !Blank(s.back()));
}

void CheckFileName(const std::string& t) {
  std::string s = MakeValidFileNameStr(t);
  Require(s.size() == t.size());
  for (char c : s)
    Require(c > 0x20 && c < 0x7f &&
            std::string("\"%&*/:<>?\\|").find(c) == std::string::npos);
}

void CheckSplit(const std::string& t, char sep) {
  std::vector<std::string> fields = {"kept"};
  lt_split(fields, t, sep);
  std::string upto_nul = t.substr(0, t.find('\0'));
  size_t seps = 0;
  for (char c : upto_nul) seps += c == sep;
  Require(fields.size() == seps + 2 && fields[0] == "kept");
  std::string joined;
  for (size_t i = 1; i < fields.size(); ++i)
    joined += (i > 1 ? std::string(1, sep) : "") + fields[i];
  Require(joined == upto_nul);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> p = Parts(data, size);
  CheckReplace(p[0], p[1], p[2]);
  CheckTrim(p[0]);
  CheckFileName(p[0]);
  CheckSplit(p[0], p[1].empty() ? ',' : p[1][0]);
  Require(IsAllDigitsNumber(p[0]) ==
          (!p[0].empty() &&
           p[0].find_first_not_of("0123456789") == std::string::npos));
  Require(beginsWith(p[0] + p[1], p[0]));
  Require(StdStringNullSafe(p[0].c_str()) == p[0].substr(0, p[0].find('\0')));
  std::string repeated = StrRepeat(p[2].size() % 8, p[1], p[2]);
  size_t n = p[2].size() % 8;
  Require(repeated.size() == (n ? n * p[1].size() + (n - 1) * p[2].size() : 0));
  return 0;
}

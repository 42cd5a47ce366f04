// fstring: small text helpers shared across the code base. The service only
// needs ToStdStringLL; the rest is kept for the other tools that share it.
#include "fstring.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>

namespace {

// White space stripped by trim; VT and FF are deliberately kept.
const char kTrimSet[] = " \t\r\n";

// Printable characters that are unsafe in a file name on common file
// systems or in shell commands.
const char kBadFileNameChars[] = " \"%&*/:<>?\\|";

bool IsBadFileNameChar(unsigned char c) {
  if (c < 0x20 || c > 0x7E) return true;
  return std::strchr(kBadFileNameChars, c) != nullptr;
}

// Owns the two streams of a copy so that every way out, an allocation
// failure included, closes them: the source first, then the destination.
class CopyFiles {
 public:
  CopyFiles() = default;
  CopyFiles(const CopyFiles&) = delete;
  CopyFiles& operator=(const CopyFiles&) = delete;
  ~CopyFiles() { Close(); }

  void Close() {
    if (fpSrc != nullptr) fclose(fpSrc);
    if (fpDst != nullptr) fclose(fpDst);
    fpSrc = nullptr;
    fpDst = nullptr;
  }

  FILE* fpSrc = nullptr;
  FILE* fpDst = nullptr;
};

// True when path names the file already open as fp. Opening such a path
// with "w" would empty the source before a byte of it was read.
bool IsSameFile(FILE* fp, const std::string& path) {
  struct stat stOpen;
  struct stat stPath;
  if (fstat(fileno(fp), &stOpen) != 0) return false;
  if (stat(path.c_str(), &stPath) != 0) return false;
  return stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
}

std::string ApplyReplacements(std::string newt,
                              const std::map<std::string, std::string>& repl) {
  for (const auto& entry : repl)
    newt = str_replace(newt, entry.first, entry.second);
  return newt;
}

}  // namespace

// The rendered numbers end up in SQL and configuration keys, so the classic
// locale is pinned: a grouping global locale must never leak into them.
std::string ToStdString(int iValue) {
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << iValue;
  return os.str();
}

std::string ToStdStringLL(long long value) {
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << value;
  return os.str();
}

std::string StdStringNullSafe(const char* acText) {
  if (acText == nullptr) return std::string();
  return std::string(acText);
}

void trim(std::string& str) {
  std::string::size_type end = str.find_last_not_of(kTrimSet);
  if (end != std::string::npos) str = str.substr(0, end + 1);
  std::string::size_type beg = str.find_first_not_of(kTrimSet);
  if (beg != std::string::npos) str = str.substr(beg);
}

void OLDtrim(std::string& str) {
  std::stringstream trimmer(std::ios::in | std::ios::out);
  trimmer.imbue(std::locale::classic());
  trimmer << str;
  str.clear();
  trimmer >> str;  // Finds no word in pure white space: str stays empty.
}

bool beginsWith(std::string haystack, std::string needle) {
  if (haystack.length() < needle.length()) return false;
  return haystack.compare(0, needle.length(), needle) == 0;
}

bool IsAllDigitsNumber(std::string t) {
  std::string::size_type tlen = t.length();
  if (tlen == 0) return false;
  for (std::string::size_type i = 0; i < tlen; ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
  }
  return true;
}

std::string str_replace(std::string t, std::string from, std::string to) {
  // An empty from matches everywhere and would never let the loop end.
  if (from.empty()) return t;
  int fromlen = static_cast<int>(from.length());
  int tolen = static_cast<int>(to.length());
  int startpos = 0;
  for (;;) {
    std::string::size_type pos = t.find(from, startpos);
    if (pos == std::string::npos) return t;
    t = t.substr(0, pos) + to + t.substr(pos + fromlen);
    // Resume behind the inserted text so that it is never searched again.
    startpos = static_cast<int>(pos) + tolen;
  }
}

std::string StrRepeat(int iCnt, std::string strToRepeat,
                      std::string strSeparator) {
  std::string strRet;
  for (int i = 0; i < iCnt; ++i) {
    if (i > 0) strRet += strSeparator;
    strRet += strToRepeat;
  }
  return strRet;
}

std::string MakeValidFileNameStr(std::string strFilename) {
  int iCnt = static_cast<int>(strFilename.length());
  std::string strRet;
  strRet.reserve(iCnt);
  for (int i = 0; i < iCnt; ++i) {
    unsigned char c = static_cast<unsigned char>(strFilename[i]);
    strRet += IsBadFileNameChar(c) ? '_' : static_cast<char>(c);
  }
  return strRet;
}

void lt_split(std::vector<std::string>& vstrList, std::string strText,
              char cSep) {
  // Scanned as a C string: bytes behind an embedded NUL are ignored, and a
  // NUL separator therefore never matches.
  const char* acField = strText.c_str();
  const char* acPos = acField;
  for (; *acPos != '\0'; ++acPos) {
    if (*acPos != cSep) continue;
    vstrList.emplace_back(acField, acPos);
    acField = acPos + 1;
  }
  vstrList.emplace_back(acField, acPos);
}

int CopyWithReplacements(std::string src, std::string dst,
                         std::map<std::string, std::string> repl) {
  CopyFiles files;
  files.fpSrc = fopen(src.c_str(), "r");
  if (files.fpSrc == nullptr) return 1;
  if (IsSameFile(files.fpSrc, dst)) return 1;
  files.fpDst = fopen(dst.c_str(), "w");
  if (files.fpDst == nullptr) return 1;

  // Pieces are at most 99 bytes, so a key crossing a piece border within a
  // long line is not replaced.
  char acBuf[100];
  while (fgets(acBuf, sizeof(acBuf), files.fpSrc) != nullptr) {
    std::string newt = ApplyReplacements(acBuf, repl);
    fwrite(newt.data(), 1, newt.length(), files.fpDst);
  }
  files.Close();
  return 0;
}

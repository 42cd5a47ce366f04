// fstring: small text helpers shared across the code base (number rendering,
// trimming, replacement, splitting, file-name cleaning, filtered file copy).
// Every function treats one byte as one character and keeps no state.
#ifndef FIFODEL_SRC_FSTRING_H_
#define FIFODEL_SRC_FSTRING_H_

#include <map>
#include <string>
#include <vector>

// Plain decimal text of iValue: leading '-' when negative, no '+', no
// grouping, no padding. At most 11 characters.
std::string ToStdString(int iValue);

// Plain decimal text of a signed 64-bit value, same format as ToStdString.
// At most 20 characters.
std::string ToStdStringLL(long long value);

// Copy of acText up to its first NUL; the empty text when acText is null.
std::string StdStringNullSafe(const char* acText);

// Strips leading and trailing runs of " \t\r\n" in place (not VT/FF).
// A text made only of those characters, or empty, is left unchanged.
void trim(std::string& str);

// Replaces str by its first word, words being delimited by any of the six
// classic white-space characters; str becomes empty when it has no word.
void OLDtrim(std::string& str);

// True when haystack starts with needle (byte-wise, case-sensitive).
// An empty needle always matches.
bool beginsWith(std::string haystack, std::string needle);

// True when t is non-empty and every byte is an ASCII digit '0'..'9'.
// Tests form only: no sign, no blanks, any length, leading zeros allowed.
bool IsAllDigitsNumber(std::string t);

// Replaces every occurrence of from in t by to, left to right, without
// overlaps and without searching the inserted text again. An empty from
// returns t unchanged. Texts over 2^31-1 bytes are not supported.
std::string str_replace(std::string t, std::string from, std::string to);

// strToRepeat written iCnt times with strSeparator between the copies;
// the empty text when iCnt < 1.
std::string StrRepeat(int iCnt, std::string strToRepeat,
                      std::string strSeparator);

// strFilename with every control byte (< 0x20), every byte > 0x7E and each
// of  "%&*/:<>?\| and space replaced by '_'. The length never changes.
std::string MakeValidFileNameStr(std::string strFilename);

// Appends to vstrList the fields of strText (up to its first NUL) separated
// by cSep: k separators give k + 1 entries, empty fields included. Existing
// entries are kept.
void lt_split(std::vector<std::string>& vstrList, std::string strText,
              char cSep);

// Copies text file src to dst, applying repl to each piece (a line, or at
// most 99 bytes of it) in ascending key order; keys spanning pieces are not
// replaced. Returns 0 when both files opened (write errors not detected),
// 1 when either failed to open or when src and dst are the same file, in
// which case dst is left untouched.
int CopyWithReplacements(std::string src, std::string dst,
                         std::map<std::string, std::string> repl);

#endif  // FIFODEL_SRC_FSTRING_H_

// Feeds arbitrary rows of `calls` to the row check and names to Printable:
// an accepted row never names a path outside /recordings or the directory
// itself, and no text that reaches a log line can start a new one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "calls.h"
#include "logging.h"

namespace {

void Require(bool ok) {
  if (!ok) abort();
}

bool HasDotDot(const std::string& path) {
  std::istringstream parts(path);
  for (std::string part; std::getline(parts, part, '/');)
    if (part == "..") return true;
  return false;
}

// The leaf of the media name, which the pass unlinks in the call's directory.
bool NamesAFile(const std::string& name) {
  std::string leaf = name.substr(name.rfind('/') + 1);
  return !leaf.empty() && leaf != ".";
}

bool ValidUtf8(const std::string& text) {
  try {
    nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// No control byte, valid UTF-8, and text that was so comes back unchanged.
void CheckPrintable(const std::string& text) {
  std::string out = Printable(text);
  for (unsigned char c : out) Require(c >= 0x20 && c != 0x7f);
  Require(ValidUtf8(out));
  bool plain = ValidUtf8(text);
  for (unsigned char c : text) plain = plain && c >= 0x20 && c != 0x7f;
  Require(plain == (out == text));
}

}  // namespace

// Three fields separated by NUL bytes; a field that starts with 0xff is NULL.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size), field[3];
  bool null[3] = {false, false, false};
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t end = std::min(in.find('\0', start), in.size());
    field[i] =
        in.substr(std::min(start, in.size()), end - std::min(start, in.size()));
    null[i] =
        !field[i].empty() && static_cast<unsigned char>(field[i][0]) == 0xff;
    start = end + 1;
  }
  const char* problem = RowProblem(null[0] ? nullptr : field[0].c_str(),
                                   null[1] ? nullptr : field[1].c_str(),
                                   null[2] ? nullptr : field[2].c_str());
  if (!problem) {
    Require(!null[0] && !null[1]);
    for (int i = 0; i < 3; ++i) Require(null[i] || !HasDotDot(field[i]));
    Require(NamesAFile(field[1]));
  }
  CheckPrintable(in);
  return 0;
}

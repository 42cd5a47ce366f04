// Plain text, a line at a time, so that an operator can read what a pass cut
// short left behind, and a line torn by a crash spoils only itself.
#include "journal_format.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

unsigned Checksum(const std::string& payload) {
  unsigned h = 2166136261u;  // FNV-1a
  for (unsigned char c : payload) h = (h ^ c) * 16777619u;
  return h;
}

int Hex(char c) {
  const char* at = c ? strchr("0123456789abcdef", c) : nullptr;
  return at ? static_cast<int>(at - "0123456789abcdef") : -1;
}

// Paths may hold any byte but NUL: blanks, line ends and '%' are escaped.
std::string Escape(const std::string& path) {
  auto plain = [](unsigned char c) { return c > ' ' && c < 0x7f && c != '%'; };
  if (std::all_of(path.begin(), path.end(), plain)) return path;
  std::string out;
  for (unsigned char c : path) {
    char buf[4];
    snprintf(buf, sizeof buf, "%%%02x", c);
    out += plain(c) ? std::string(1, c) : buf;
  }
  return out;
}

bool Unescape(const std::string& text, std::string* path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    int hi = 0, lo = text[i];
    if (text[i] == '%' &&
        (i + 2 >= text.size() || (hi = Hex(text[i + 1])) < 0 ||
         (lo = Hex(text[i += 2])) < 0))
      return false;
    *path += static_cast<char>(hi * 16 + lo);
  }
  return !path->empty();
}

}  // namespace

std::string JournalLine(const std::string& payload) {
  char sum[16];
  snprintf(sum, sizeof sum, " %08x\n", Checksum(payload));
  return payload + sum;
}

bool JournalPayload(const std::string& line, std::string* payload) {
  size_t blank = line.rfind(' ');
  if (blank == std::string::npos || line.size() - blank != 9) return false;
  unsigned sum = 0;
  for (size_t i = blank + 1; i < line.size(); ++i) {
    if (Hex(line[i]) < 0) return false;
    sum = sum * 16 + Hex(line[i]);
  }
  *payload = line.substr(0, blank);
  return Checksum(*payload) == sum;
}

std::string IntentLine(const Intent& i) {
  char head[160];
  snprintf(head, sizeof head, "I %lld %lld %lld %016llx %llu %lld ", i.llCall,
           i.llTenant, i.llBytes, i.dir.ullFs, i.dir.id.ullIno,
           i.dir.id.llBirth);
  char file[64];
  snprintf(file, sizeof file, " %llu %lld %c ", i.file.ullIno, i.file.llBirth,
           i.fShred ? 's' : 'u');
  return JournalLine(head + (i.dir.strHandle.empty() ? "-" : i.dir.strHandle) +
                     file + Escape(i.strRel));
}

bool ParseIntent(const std::string& payload, Intent* i) {
  char handle[300], mode;
  int used = 0;
  if (sscanf(payload.c_str(),
             "I %lld %lld %lld %llx %llu %lld %299s %llu %lld %c %n",
             &i->llCall, &i->llTenant, &i->llBytes, &i->dir.ullFs,
             &i->dir.id.ullIno, &i->dir.id.llBirth, handle, &i->file.ullIno,
             &i->file.llBirth, &mode, &used) != 10 ||
      used == 0 || (mode != 'u' && mode != 's'))
    return false;
  i->fShred = mode == 's';
  i->dir.strHandle = strcmp(handle, "-") == 0 ? "" : handle;
  return Unescape(payload.substr(used), &i->strRel);
}

std::string OwedLine(long long llTenant, long long llDelta) {
  return JournalLine("O " + std::to_string(llTenant) + " " +
                     std::to_string(llDelta));
}

bool ParseOwed(const std::string& payload, long long* llTenant,
               long long* llDelta) {
  int used = 0;
  return sscanf(payload.c_str(), "O %lld %lld%n", llTenant, llDelta, &used) ==
             2 &&
         static_cast<size_t>(used) == payload.size();
}

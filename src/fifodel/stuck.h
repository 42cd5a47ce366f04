// What reclamation cannot get past: calls whose media cannot be removed and
// directories that cannot go. Each is logged once per process and shown by
// `fifodel status` and the metrics until it comes loose.
#ifndef FIFODEL_STUCK_H_
#define FIFODEL_STUCK_H_

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct StuckKey {
  enum Kind { kCall, kDirectory };
  StuckKey(Kind k, long long llId, std::string path)
      : kind(k), llCall(llId), strPath(std::move(path)) {}
  Kind kind;
  long long llCall;     // kCall
  std::string strPath;  // kDirectory: absolute
  bool operator<(const StuckKey& o) const;
  bool operator==(const StuckKey& o) const { return !(*this < o || o < *this); }
  std::string Name() const;  // "call 42", or the path
  const char* KindName() const { return kind == kCall ? "call" : "directory"; }
};

struct StuckItem {
  StuckKey key;
  std::string strWhy;
};

// At most kMax items: beyond that a new one is counted, neither kept nor
// logged, so that a tree full of oddities costs no memory or log line each.
class StuckRegistry {
 public:
  static const size_t kMax = 100;
  bool Unsaid(const StuckKey& key) const;  // neither known nor beyond kMax
  bool Has(const StuckKey& key) const { return items_.count(key) != 0; }
  // After a pass: the items it met and how many more it only counted. What
  // does not fit is counted until the next pass, not added up across passes.
  void Merge(const std::vector<StuckItem>& met, long long llMore);
  void Clear(const StuckKey& key);
  // Drops the items for which `gone` says they no longer exist.
  void Forget(const std::function<bool(const StuckKey&)>& gone);
  const std::map<StuckKey, std::string>& Items() const { return items_; }
  long long Uncounted() const { return llOver_; }

 private:
  std::map<StuckKey, std::string> items_;
  long long llOver_ = 0;
};

// The one way a pass reports a stuck item: "FIFO: <name> stays: <why>" at
// `prio`, unless `known` said it already, and kept in `met` for the monitor.
// Beyond kMax items in `met` a new one is only counted in `more`.
void ReportStuck(const StuckRegistry& known, int prio, const StuckItem& item,
                 std::vector<StuckItem>* met, long long* more);

#endif  // FIFODEL_STUCK_H_

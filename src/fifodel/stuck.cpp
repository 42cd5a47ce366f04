#include "stuck.h"

#include <tuple>

#include "logging.h"

bool StuckKey::operator<(const StuckKey& o) const {
  return std::tie(kind, llCall, strPath) <
         std::tie(o.kind, o.llCall, o.strPath);
}

std::string StuckKey::Name() const {
  return kind == kCall ? "call " + std::to_string(llCall) : Printable(strPath);
}

bool StuckRegistry::Unsaid(const StuckKey& key) const {
  return !items_.count(key) && items_.size() < kMax;
}

void StuckRegistry::Merge(const std::vector<StuckItem>& met, long long llMore) {
  llOver_ = llMore;
  for (const StuckItem& item : met) {
    if (items_.count(item.key) || items_.size() < kMax) {
      items_[item.key] = item.strWhy;
    } else {
      ++llOver_;
    }
  }
}

void StuckRegistry::Clear(const StuckKey& key) { items_.erase(key); }

void StuckRegistry::Forget(const std::function<bool(const StuckKey&)>& gone) {
  for (auto it = items_.begin(); it != items_.end();)
    it = gone(it->first) ? items_.erase(it) : std::next(it);
}

void ReportStuck(const StuckRegistry& known, int prio, const StuckItem& item,
                 std::vector<StuckItem>* met, long long* more) {
  for (const StuckItem& m : *met)
    if (m.key == item.key) return;
  if (met->size() >= StuckRegistry::kMax) {
    ++*more;
    return;
  }
  if (known.Unsaid(item.key))
    lg(prio, "FIFO: %s stays: %s", item.key.Name().c_str(),
       Printable(item.strWhy).c_str());
  met->push_back(item);
}

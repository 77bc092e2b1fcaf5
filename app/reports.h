// The search's console and log reports: the progress lines "Loading at factor = ..."
// and "Searching at k = ...", the factor and period list of the log, and the closing
// count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pelund/pelund.hpp>

// The progress line "Searching at k = ..." for k with `found` lines written before it.
void showSearchProgress(int64_t k, uint64_t found);
// The same for a k of any width, in decimal.
void showSearchProgress(const std::string& k, uint64_t found);

// The closing report "N covering set(s) found for S|R b".
void reportFound(uint64_t found, const pelund::SearchParams& params);

// "factor and period list:", one "factor  period" line per pair, an empty line.
std::string factorListText(const std::vector<pelund::FactorPeriod>& factorPeriodList);

// What the console shows of the library's progress: "Loading at factor = F." at every
// multiple of facDisp that the table phase passes.
class ConsoleObserver : public pelund::Observer {
 public:
  explicit ConsoleObserver(uint32_t facDisp) : facDisp_(facDisp) {}
  uint32_t loadingStep() const override { return facDisp_; }
  void loading(uint32_t factor) override;
  void walking(int64_t from, int64_t to) override;

 private:
  uint32_t facDisp_;
};

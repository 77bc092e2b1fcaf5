// The search's reports (see reports.h).
#include "reports.h"

#include <cinttypes>
#include <cstdio>

#include "config.h"
#include "console.h"
#include "status_line.h"

namespace {

const char* plural(uint64_t count) { return count == 1 ? "" : "s"; }

}  // namespace

void showSearchProgress(int64_t k, uint64_t found) {
  char text[128];
  std::snprintf(text, sizeof text, "Searching at k = %" PRId64 ". %" PRIu64 " covering set%s found. ", k, found, plural(found));
  showProgress(text, kSearchingBackspaces);
}

void showSearchProgress(const std::string& k, uint64_t found) {
  char text[192];
  std::snprintf(text, sizeof text, "Searching at k = %s. %" PRIu64 " covering set%s found. ", k.c_str(), found, plural(found));
  showProgress(text, kSearchingBackspaces);
}

void reportFound(uint64_t found, const pelund::SearchParams& params) {
  reportWithDateTime("%" PRIu64 " covering set%s found for %c%d", found, plural(found), formLetter(params.c), params.base);
}

std::string factorListText(const std::vector<pelund::FactorPeriod>& factorPeriodList) {
  std::string text = "factor and period list:\n";
  char line[32];
  for (const pelund::FactorPeriod& pair : factorPeriodList) {
    std::snprintf(line, sizeof line, "%u  %u\n", pair.factor, pair.period);
    text += line;
  }
  return text + "\n";
}

void ConsoleObserver::loading(uint32_t factor) {
  char text[64];
  std::snprintf(text, sizeof text, "Loading at factor = %u.", factor);
  showProgress(text, kLoadingBackspaces);
}

void ConsoleObserver::walking(int64_t from, int64_t to) { statusline::part(from, to); }

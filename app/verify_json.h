// pelund-verify --json: a line's explanation as one JSON object (JSON Lines), written
// with nlohmann-json; built only where its header is found (PELUND_JSON).
#pragma once

#include <pelund/pelund.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace verify {

// {"line": N, "text": the line as a report shows it, "k", "base", "c", "period",
// "span", "primes": [{"prime", "period", "residues"}], "classes": [{"modulus",
// "residue", "form", "factorisation", "n", "y", "factor", "factor_value"}],
// "verdict": "ok" or "bad", "reason": the report's reason or null}, without a line
// end. k and period are null for a line that did not parse; span, primes and classes
// null where the classes were not worked out. pelund.explain gives the same keys but
// line and text.
std::string explanationJson(uint64_t number, std::string_view text, const pelund::Explanation& explanation);

}  // namespace verify

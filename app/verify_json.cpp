// The JSON form of an explanation (see verify_json.h). Keys keep their order; a line's
// bytes that are no UTF-8 become U+FFFD in "text" rather than making the output
// invalid.
#include "verify_json.h"

#include <nlohmann/json.hpp>

#include "verify_stream.h"

namespace verify {

namespace {

using Json = nlohmann::ordered_json;

Json primesJson(const pelund::Explanation& e) {
  Json primes = Json::array();
  for (const pelund::PrimeClass& prime : e.primes)
    primes.push_back({{"prime", prime.prime}, {"period", prime.period}, {"residues", prime.residues}});
  return primes;
}

Json classesJson(const pelund::Explanation& e) {
  Json classes = Json::array();
  for (const pelund::AlgebraicClass& claim : e.classes) {
    classes.push_back({{"modulus", claim.modulus},
                       {"residue", claim.residue},
                       {"form", claim.form},
                       {"factorisation", claim.factorisation},
                       {"n", claim.n},
                       {"y", claim.y},
                       {"factor", claim.factor},
                       {"factor_value", claim.factorValue}});
  }
  return classes;
}

}  // namespace

std::string explanationJson(uint64_t number, std::string_view text, const pelund::Explanation& e) {
  Json line;
  line["line"] = number;
  line["text"] = shownLine(text);
  // k as a number while it is below 2^63 (as every reader takes it), else as a string.
  const bool narrow = e.parsed && e.kText == std::to_string(e.k);
  line["k"] = !e.parsed ? Json(nullptr) : narrow ? Json(e.k) : Json(e.kText);
  line["base"] = e.base;
  line["c"] = e.c;
  line["period"] = e.parsed ? Json(e.period) : Json(nullptr);
  line["span"] = e.classesKnown ? Json(e.span) : Json(nullptr);
  line["primes"] = e.classesKnown ? primesJson(e) : Json(nullptr);
  line["classes"] = e.classesKnown ? classesJson(e) : Json(nullptr);
  line["verdict"] = e.fault.empty() ? "ok" : "bad";
  line["reason"] = e.fault.empty() ? Json(nullptr) : Json(e.fault);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace verify

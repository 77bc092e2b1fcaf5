// How many rounds a generated comparison runs: a third of them in the sanitizer build,
// where every run is several times slower and the faults looked for (of memory and of
// arithmetic) are met by the first rounds as often as by the last. kSanitized tells
// the sanitizer build: the end-to-end programs are built there without the sanitizers
// themselves (see tests/CMakeLists.txt), so the build defines PELUND_SANITIZED too.
#pragma once

namespace e2e {

#if defined(__SANITIZE_ADDRESS__) || defined(PELUND_SANITIZED)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

constexpr int rounds(int n) { return kSanitized ? (n + 2) / 3 : n; }

}  // namespace e2e

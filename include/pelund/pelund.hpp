// pelund: covering sets of the numbers k*b^n + c, as a library.
//
// For a base b, a sign c (+1: Sierpinski, -1: Riesel) and a range of multipliers k,
// the search reports every k for which a few candidate primes p < maxfact, each with
// the multiplicative order of b modulo p (its period) dividing a period P, divide every
// term k*b^n + c (n >= 1) between them, which proves that the sequence holds no prime.
// With `algebraic` it also reports the k whose terms factor algebraically on some
// classes of n (k*b^n a perfect power) and are covered by primes on the rest.
//
// The library never prints, never exits, opens no file and reads no global setting:
// what it finds goes to a Sink, its progress to an Observer, and it stops when the
// StopToken it is given says so. Faults come back as pelund::Error, whose text is the
// system's message ("base cannot be less than 2", "not enough memory").
//
//   pelund::SearchParams params = pelund::makeParams(10, -1, 1, 1000000);
//   pelund::Search search(params, pelund::candidates(params));
//   search.walk(params.minK, params.maxK, sink, pelund::StopToken{});
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelund {

inline constexpr const char* kVersion = "0.2.0";

// The one exception type of the library; what() is the message to show.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- parameters ---------------------------------------------------------------------

// Which exact engine walks the k range: chosen per part from estimated costs, or one
// of the two throughout. All give the same lines.
enum class Engine : int32_t { automatic = 0, sieve = 1, residue = 2 };

struct SearchParams {
  int32_t base = 0;           // b, 2 .. 10^9
  int32_t c = 0;              // +1 or -1
  int32_t period = 144;       // P, 2 .. 5040
  int32_t maxFact = 1000000;  // candidate primes are below this, 5 .. 10^9
  int64_t minK = 1;           // 1 .. maxK
  int64_t maxK = 1;           // .. 10^18
  int32_t threads = 0;        // 0: all hardware threads, up to 1024
  Engine engine = Engine::automatic;
  bool algebraic = false;     // also prove k by algebraic factors
};

// The first fault of the range settings, in the order a configuration reports them
// (base, mink, maxk, c, period, maxfact), or nullptr. Values are taken wide, so that
// any integer a caller has can be checked before it is narrowed.
const char* rangeFault(int64_t base, int64_t minK, int64_t maxK, int64_t c, int64_t period, int64_t maxFact);
// The fault of a thread count, or nullptr.
const char* threadsFault(int64_t threads);
// The fault of factoreffort= (seconds of factoring for each Phi_d(b) of a wide search),
// or nullptr.
const char* factorEffortFault(int64_t seconds);
// The fault of a wide maxfact beyond 1e9 in a build that cannot factor Phi_d(b) (built
// without FLINT, as the Windows programs are), or nullptr: such a search is refused
// with its configuration, before anything is touched.
const char* factoringFault(uint64_t maxFact);

// The range of a search that lifts the caps (pelund's wide=1): mink, maxk and maxfact as
// decimal texts of any length (an optional '-', then digits; leading zeros allowed),
// checked in rangeFault's order against k <= 2^256-1, maxfact <= 2^64-1 and period <=
// 65520. On success `range` holds them without leading zeros and says whether the
// search passes one of the caps of rangeFault (else it is an ordinary search).
struct WideRange {
  std::string minK, maxK;
  uint64_t maxFact = 0;
  uint32_t period = 0;
  bool beyond = false;
};
const char* wideRangeFault(int64_t base, std::string_view minK, std::string_view maxK, int64_t c, int64_t period,
                           std::string_view maxFact, WideRange& range);
inline constexpr const char* kEngineFault = "engine must be auto, sieve or residue";
inline constexpr const char* kAlgebraicFault = "algebraic must be 0 or 1";
inline constexpr const char* kWideFault = "wide must be 0 or 1";
// The engine named "auto", "sieve" or "residue"; false for any other word.
bool engineNamed(std::string_view word, Engine& engine);
inline constexpr int64_t kMaxThreads = 1024;

// Checked parameters; throws Error with the first fault's message.
SearchParams makeParams(int64_t base, int64_t c, int64_t minK, int64_t maxK, int64_t period = 144,
                        int64_t maxFact = 1000000, int64_t threads = 0, Engine engine = Engine::automatic,
                        bool algebraic = false);

// ---- stopping and progress ------------------------------------------------------------

// Asks a running search to stop; polled every few milliseconds by every engine.
class StopToken {
 public:
  StopToken() = default;  // never asks
  explicit StopToken(const std::atomic<bool>& flag) : flag_(&flag) {}
  // Asks once `asked()` returns true; it must be cheap and safe on any thread.
  explicit StopToken(bool (*asked)()) : asked_(asked) {}
  // Asks once `flag` is set or `also` asks; `also` must outlive this token.
  StopToken(const std::atomic<bool>& flag, const StopToken& also) : flag_(&flag), also_(&also) {}
  bool stopRequested() const {
    return (flag_ != nullptr && flag_->load(std::memory_order_relaxed)) || (asked_ != nullptr && asked_()) ||
           (also_ != nullptr && also_->stopRequested());
  }

 private:
  const std::atomic<bool>* flag_ = nullptr;
  bool (*asked_)() = nullptr;
  const StopToken* also_ = nullptr;
};

// Progress of a search, for display. Called on the thread that called the library.
class Observer {
 public:
  virtual ~Observer() = default;
  // The table phase reports the multiples of loadingStep() (0: none) that the examined
  // primes pass: loading(F) as the primes reach F, once per prime, so where the gap
  // to the next prime holds several multiples only the last is reported (as
  // pelund's facdisp= shows them).
  virtual uint32_t loadingStep() const { return 0; }
  virtual void loading(uint32_t factor) { (void)factor; }
  // The walk starts the part [from, to] (parts grow geometrically; a Sink hears when
  // each is done).
  virtual void walking(int64_t from, int64_t to) { (void)from, (void)to; }
};

// ---- the candidate table --------------------------------------------------------------

struct FactorPeriod {
  uint32_t factor;
  uint32_t period;
};

// The primes p < maxfact that divide neither b nor b-1 and whose period divides P.
struct CandidateTable {
  std::vector<FactorPeriod> factorPeriodList;   // ascending factor
  std::vector<FactorPeriod> periodOrderedList;  // ascending period, ties by ascending factor
  std::vector<int32_t> baseMinusOneFactors;     // distinct prime factors of b-1, ascending
};

// The table phase. Returns nullopt when stopped, with the prime it stopped at in
// `stoppedAt` when given.
std::optional<CandidateTable> candidates(const SearchParams& params, Observer& observer, const StopToken& stop,
                                         uint32_t* stoppedAt = nullptr);
CandidateTable candidates(const SearchParams& params);

// ---- results --------------------------------------------------------------------------

// A finished part of the range: every k of [from, to] searched, and the lines of the
// covered ones, formatted as covering.txt has them, in ascending k.
struct Part {
  int64_t from = 0;
  int64_t to = 0;
  std::string text;            // "k  P  [p, ...]\n" per line
  std::vector<int64_t> ks;     // k of each line
  std::vector<uint32_t> ends;  // end of each line in text

  void add(int64_t k, std::string_view line);
  void clear(int64_t first, int64_t last);
  // Appends the lines of `next`, the part that follows this one, and takes its end.
  void append(const Part& next);
  // The text of line i, its line end included.
  std::string_view line(size_t i) const;
  // Heap bytes held.
  size_t bytes() const { return text.capacity() + ks.capacity() * sizeof(int64_t) + ends.capacity() * sizeof(uint32_t); }
};

// A part of the residue tree searched in part: the first `done` subtrees of the list
// that Search::treeTasks(from, to, wanted) makes are searched, and `covered` holds the
// covered k they hold, ascending and each once. Given back to Search::walk, the walk
// goes on from there (with the same parameters, on any number of threads).
struct TreeProgress {
  int64_t from = 0;
  int64_t to = 0;
  uint64_t wanted = 0;  // 0: no part in progress
  uint64_t list = 0;    // a hash of the list (below 2^63): another list makes `done` void
  uint64_t done = 0;
  std::vector<int64_t> covered;
};

// Where finished parts go, one after another in ascending k, with no gap.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void partDone(const Part& part) = 0;
  // How far a long part of the residue tree has come, before its partDone: about
  // every quarter of a second while it is searched, and once more when a stop ends it.
  // Called on the walk's thread; the default ignores it.
  virtual void treeProgress(const TreeProgress& progress) { (void)progress; }
};

// A line of covering.txt read back: k, the period, the primes and, for a line proved
// with algebraic factors, the text of its classes ("n=0 (mod 2): y^2-1", ...). A wide
// line (k of 2^63 or more, a prime of 2^32 or more) does not fit: its reading throws.
struct Line {
  int64_t k = 0;
  uint32_t period = 0;
  std::vector<uint32_t> primes;
  std::vector<std::string> classes;
};
// Reads one line (with or without its line end); throws Error when it has not the layout.
Line parseLine(std::string_view text);

// ---- the search ---------------------------------------------------------------------

// A subtree of the residue-class tree of one range: a path of candidate indices from
// the root. The same inputs give every process the same list of them.
struct TreeTask {
  std::vector<uint32_t> path;
  bool operator==(const TreeTask&) const = default;
};

struct SearchTables;  // the engines' read-only data

// A search with its tables built once; walk() may be called for many ranges, on any
// thread, also at the same time.
class Search {
 public:
  // From parameters that makeParams accepts and a table that candidates() gives for
  // them (or a part of one): anything else is an Error.
  Search(const SearchParams& params, const CandidateTable& table);
  ~Search();
  Search(Search&&) noexcept;
  Search& operator=(Search&&) noexcept;

  const SearchParams& params() const;
  // Whether any k can be reported (two candidates at least, or algebraic factors).
  bool searchable() const;

  // Walks k = from .. to (within 1 .. 10^18; nothing when from > to), handing
  // finished parts to `sink` in ascending k from `from` on, with no gap. The range
  // goes in consecutive parts, each searched by the engine of lower estimated cost (or the one configured): by
  // `runner` when given (a distributed search), else on this process's threads. False
  // when stopped: every k below the end of the last part handed over has been searched
  // and handed over, none after it. A long part of the residue tree goes subtree by
  // subtree on this process's threads, its progress told to the sink; `resume` (from
  // Sink::treeProgress of an earlier walk of the same search, starting at `from` and
  // ending at `to` or below) makes the walk begin with that part where it stood.
  bool walk(int64_t from, int64_t to, Sink& sink, const StopToken& stop, Observer* observer = nullptr,
            class Runner* runner = nullptr, const TreeProgress* resume = nullptr) const;
  // The same walk ended after its first `maxLines` lines (0: no limit): the last part
  // handed over then ends at the k of the last of them, and no part follows. True when
  // the range was walked to its end or the lines were found, false when stopped first.
  bool walkLines(int64_t from, int64_t to, uint64_t maxLines, Sink& sink, const StopToken& stop,
                 Observer* observer = nullptr, class Runner* runner = nullptr,
                 const TreeProgress* resume = nullptr) const;

  // The two engines on this process's threads. sieve() hands its parts (blocks of k)
  // to `sink`; tree() gives the covered k of [from, to] ascending, each once, which
  // linesOf() turns into the part's lines. False when stopped. Every range here must
  // hold 1 <= from <= to <= 10^18, and the k given to linesOf() must be ascending,
  // each once, within it and covered by the candidates: else an Error.
  bool sieve(int64_t from, int64_t to, Sink& sink, const StopToken& stop) const;
  bool tree(int64_t from, int64_t to, std::vector<int64_t>& covered, const StopToken& stop) const;
  bool linesOf(int64_t from, int64_t to, const std::vector<int64_t>& covered, Part& part, const StopToken& stop) const;

  // The residue tree of [from, to] cut into at least `wanted` subtrees (fewer when it
  // is smaller), and the covered k of tasks [first, first + count) of that list,
  // appended ascending and each once: over all tasks, what tree() finds. Throws Error
  // for a path that no list of this range holds (tasks may come from another process).
  std::vector<TreeTask> treeTasks(int64_t from, int64_t to, size_t wanted) const;
  // An estimate in seconds of what tree() costs on one thread of this machine for
  // [from, to], from a few milliseconds of random probes down the tree.
  double treeCost(int64_t from, int64_t to) const;
  bool searchTreeTasks(int64_t from, int64_t to, const std::vector<TreeTask>& tasks, size_t first, size_t count,
                       std::vector<int64_t>& covered, const StopToken& stop) const;

  const SearchTables& tables() const { return *tables_; }

 private:
  std::unique_ptr<SearchTables> tables_;
};

// How the parts of a walk are searched, for a walk spread over processes: the walk
// chooses the engine of each part and hands it to the runner. sieve() hands the
// part's lines to `sink` in ascending k, in parts of its own; tree() makes them one
// part of [from, to] (what Search::tree and Search::linesOf give). False when stopped.
//
// A runner may also overlap consecutive tree parts (overlaps() true): the walk then hands
// it each tree part with treeAhead(), which returns once that part is under way and the
// part before it has been searched, `before` getting the covered k that part held (a k
// of two subtrees counted twice); the lines of both may reach the sink later, in order,
// from another thread. settle() returns once every part handed over has reached the
// sink; the walk settles before it searches a part otherwise or ends. While parts are in
// flight the walk calls the sink only through the runner. False when stopped: the parts
// handed to the sink are then all it gets.
class Runner {
 public:
  virtual ~Runner() = default;
  virtual bool sieve(const Search& search, int64_t from, int64_t to, Sink& sink, const StopToken& stop) = 0;
  virtual bool tree(const Search& search, int64_t from, int64_t to, Part& lines, const StopToken& stop) = 0;
  virtual bool overlaps() const { return false; }
  virtual bool treeAhead(const Search& search, int64_t from, int64_t to, Sink& sink, const StopToken& stop,
                         size_t& before) {
    (void)search, (void)from, (void)to, (void)sink, (void)stop, (void)before;
    return false;
  }
  virtual bool settle(Sink& sink, const StopToken& stop) {
    (void)sink, (void)stop;
    return true;
  }
};

// ---- verification -----------------------------------------------------------------------

// Whether the primes prove every term k*b^n + c (n >= 1) composite: each is prime,
// every n of 1 .. P (P the lcm of their periods, so b^P = 1 mod p) has one of them
// dividing the term, and no term is one of the primes itself. Independent of the search.
// A prime listed twice counts once; an Error when P exceeds 10^6 or P times the number
// of distinct primes exceeds 2^27 (about a second); false also when stopped.
bool verify(int64_t base, int32_t c, int64_t k, const std::vector<uint32_t>& primes,
            const StopToken& stop = StopToken{});
// The same for k in decimal (digits only, no leading zero, 0 < k < 2^256; an Error with
// the checker's words for any other text but "0", which is false) and primes below 2^64.
bool verify(int64_t base, int32_t c, std::string_view k, const std::vector<uint64_t>& primes,
            const StopToken& stop = StopToken{});

// The verdict on one line of covering.txt (with its line end) for base b and sign c:
// `fault` is empty when the line proves every term of its k composite, else the reason
// (also for a base outside 2 to 10^9 or a c other than +-1, in the console's words).
// A line may be wide: k up to 2^256-1, primes up to 2^64-1, a period up to 65520.
struct LineVerdict {
  std::string fault;
  bool parsed = false;  // k could be read
  int64_t k = 0;        // k when below 2^63, else 0
  std::string kText;    // k in decimal, once parsed
};
LineVerdict verifyLine(std::string_view text, int64_t base, int32_t c);

// ---- explanation ------------------------------------------------------------------------

// A line's proof as congruences, as a paper presents a covering set. A listed prime p
// divides k*b^n + c exactly for the n of one class modulo its period, the order of b
// modulo p: `residues` holds that class's r (0 <= r < period), or nothing when p divides
// no term (p | k, or -c/k is no power of b modulo p). Classes may overlap.
struct PrimeClass {
  uint64_t prime = 0;
  uint32_t period = 0;
  std::vector<uint32_t> residues;
};

// An algebraic class: for every n = residue (mod modulus), k*b^n = y^m (4y^4 for the
// form 4y^4+1), so the term is `form` = `factorisation`; at n, the class's smallest
// n >= 1, y and the value of `factor` (in decimal: it may pass 2^64), a proper factor.
struct AlgebraicClass {
  uint32_t modulus = 0;
  uint32_t residue = 0;
  std::string form;           // "y^2-1", "y^3+1", "4y^4+1"
  std::string factorisation;  // "(y-1)(y+1)", ...
  uint32_t n = 0;
  uint64_t y = 0;
  std::string factor;         // "y-1", "y+1" or "2y^2-2y+1"
  std::string factorValue;
};

// A line with its verdict (`fault` as verifyLine gives it, empty when the line is a
// proof) and, once it parsed, its k and period. The classes are worked out when the
// line's primes and claims hold (`classesKnown`), also when coverage then fails: every
// n from 1 to `span` (the lcm of the period and the moduli) lies in some class exactly
// when the line covers, and the classes repeat with the span.
struct Explanation {
  int64_t base = 0;
  int32_t c = 0;
  bool parsed = false;
  int64_t k = 0;  // below 2^63 (else 0; `kText` holds every k)
  uint32_t period = 0;
  bool classesKnown = false;
  uint32_t span = 0;
  std::vector<PrimeClass> primes;
  std::vector<AlgebraicClass> classes;
  std::string fault;
  std::string kText;  // k in decimal, once parsed
};

// One line of covering.txt (with its line end) for base b and sign c.
Explanation explainLine(std::string_view text, int64_t base, int32_t c);

// The line "k  P  [primes]" (then "  + class" for each of `classes`, texts such as
// "n=0 (mod 2): y^2-1") that pelund-verify would check: the primes ascending, each
// once; P the lcm of the orders of b modulo those of them that are primes not dividing
// b (1 when none; 4294967295 when larger), unless `period` is given. k below 1 is
// refused as the checker refuses it, with no classes.
Explanation explain(int64_t base, int32_t c, int64_t k, std::vector<uint32_t> primes,
                    std::optional<uint32_t> period = std::nullopt, const std::vector<std::string>& classes = {});
// The same for k in decimal (as a line writes it, up to 2^256-1; "0" or "-digits" for
// a k below 1) and primes below 2^64.
Explanation explain(int64_t base, int32_t c, std::string_view k, std::vector<uint64_t> primes,
                    std::optional<uint32_t> period = std::nullopt, const std::vector<std::string>& classes = {});

}  // namespace pelund

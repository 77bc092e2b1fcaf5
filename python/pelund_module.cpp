// The Python module `pelund`: the covering-set search of include/pelund/pelund.hpp for
// Python. search() yields the covered k lazily while the library walks the range on a
// thread of its own, which never touches a Python object; the results wait for the
// caller in a queue bounded in bytes, so a slow caller holds the search back instead
// of letting memory grow. The caller waits with the GIL released, in slices, so that
// Ctrl-C raises KeyboardInterrupt at once; closing or dropping the iterator stops the
// search and joins its thread. next_k is exact from any thread at any moment: a batch
// that the iterating thread has taken off the queue counts as not yielded until it is.
//
// The GIL is taken back by a plain call, never by a destructor: at interpreter exit the
// interpreter ends a daemon thread that asks for it by unwinding its stack. That unwind
// stops where the GIL was asked for (takeGilBack): what the thread waited for is
// stopped, and the thread sleeps until the process ends, since the frames above it
// (pybind11's, holding the copy of a call's keyword arguments) would release Python
// objects without the GIL. A forked child cannot go on with a search whose thread
// stayed in the parent: it yields the lines it holds, then raises pelund.Error.
//
// Parameters are checked with the console's own messages: a fault raises
// pelund.ParameterError (a ValueError), any other pelund::Error pelund.Error (a
// RuntimeError). Integers of any size are taken, saturated to 64 bits as the
// configuration reader saturates its digits, so that the range checks name them.
//
// With wide=True the caps are those of pelund's wide=1: k up to 2^256-1, maxfact up to
// 2^64-1, period up to 65520. Within the 64-bit caps the search is the ordinary one;
// beyond them it is the wide engine (search/wide), its candidates every prime below
// min(maxfact, 1e9) of a period dividing P and the factors of Phi_d(b) above, as
// pelund runs it. Its k reach Python in decimal.
#include <pelund/pelund.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#endif

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cyclotomic.h"
#include "u256.h"
#include "wide_search.h"

namespace py = pybind11;

using pelund::U256;

namespace {

// How long the caller waits for results before it looks for a signal (Ctrl-C).
constexpr std::chrono::milliseconds kWaitSlice{50};
// Results waiting for the caller: at most this many bytes, in batches of at most
// kBatchLines lines (a batch larger than the bound is still taken when none waits).
constexpr size_t kQueueBytes = size_t(8) << 20;
constexpr size_t kBatchLines = 4096;

PyObject* errorType = nullptr;           // pelund.Error (RuntimeError)
PyObject* parameterErrorType = nullptr;  // pelund.ParameterError (pelund.Error, ValueError)

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

// ---- parameters ---------------------------------------------------------------------

// A Python integer (anything with __index__) saturated to 64 bits; `overflow` tells
// whether it was (+1 above, -1 below).
int64_t wide(py::handle value, const char* name, int& overflow) {
  if (!PyIndex_Check(value.ptr()))
    raise(PyExc_TypeError, std::string(name) + " must be an integer, not " + Py_TYPE(value.ptr())->tp_name);
  overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow > 0) return INT64_MAX;
  if (overflow < 0) return INT64_MIN;
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

int64_t wide(py::handle value, const char* name) {
  int overflow = 0;
  return wide(value, name, overflow);
}

void check(const char* fault) {
  if (fault != nullptr) raise(parameterErrorType, fault);
}

pelund::Engine engineOf(py::handle word) {
  if (!PyUnicode_Check(word.ptr()))
    raise(PyExc_TypeError, std::string("engine must be a str, not ") + Py_TYPE(word.ptr())->tp_name);
  pelund::Engine engine = pelund::Engine::automatic;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(word.ptr(), &size);
  if (text == nullptr) PyErr_Clear();  // not UTF-8 (a lone surrogate): no engine's name
  if (text == nullptr || !pelund::engineNamed(std::string_view(text, size_t(size)), engine))
    raise(parameterErrorType, pelund::kEngineFault);
  return engine;
}

// The settings of a search, checked in the order the console reports them.
pelund::SearchParams searchParams(py::handle base, py::handle c, py::handle minK, py::handle maxK, py::handle period,
                                  py::handle maxFact, py::handle threads, py::handle engine, py::handle algebraic) {
  if (maxK.is_none()) raise(PyExc_TypeError, "search() missing required argument 'maxk'");
  const int64_t b = wide(base, "base"), sign = wide(c, "c"), first = wide(minK, "mink"), last = wide(maxK, "maxk");
  const int64_t p = wide(period, "period"), f = wide(maxFact, "maxfact"), t = wide(threads, "threads");
  const int64_t withAlgebraic = wide(algebraic, "algebraic");
  check(pelund::rangeFault(b, first, last, sign, p, f));
  check(pelund::threadsFault(t));
  const pelund::Engine named = engineOf(engine);
  if (withAlgebraic != 0 && withAlgebraic != 1) raise(parameterErrorType, pelund::kAlgebraicFault);
  return pelund::makeParams(b, sign, first, last, p, f, t, named, withAlgebraic == 1);
}

// ---- wide parameters ------------------------------------------------------------------

// Candidates below this bound are found exhaustively; above it by factoring.
constexpr uint64_t kExhaustiveBelow = 1000000000;

// A search beyond the 64-bit caps, for the wide engine.
struct WideJob {
  int64_t base = 0;
  int32_t c = 0;
  uint32_t period = 0;
  uint64_t maxFact = 0;
  U256 minK, maxK;
  int threads = 0;
  double factorEffort = 5;
};

// What a search runs: the ordinary search of `params`, or the wide one.
struct Job {
  pelund::SearchParams params;
  std::optional<WideJob> wide;
};

// A Python integer whole, as a Python int.
py::int_ wholeInteger(py::handle value, const char* name) {
  if (!PyIndex_Check(value.ptr()))
    raise(PyExc_TypeError, std::string(name) + " must be an integer, not " + Py_TYPE(value.ptr())->tp_name);
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  return py::int_(index);
}

U256 u256Of(const py::int_& value) {
  U256 result;
  if (!U256::parse(py::str(py::handle(value)).cast<std::string>(), result))
    raise(parameterErrorType, "k is larger than 2^256-1");
  return result;
}

// k as a Python int: at once below 2^64, else from its decimal text.
py::object pythonInteger(const U256& k) {
  if (k.fitsU64()) return py::int_(k.low64());
  PyObject* value = PyLong_FromString(k.toString().c_str(), nullptr, 10);
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// The range at full width, checked in the order and words of pelund's wide=1; true
// when the search passes one of the 64-bit caps.
bool wideRange(py::handle base, py::handle c, const py::int_& minK, const py::int_& maxK, int64_t period,
               const py::int_& maxFact) {
  const auto text = [](const py::int_& value) { return py::str(py::handle(value)).cast<std::string>(); };
  const int64_t b = wide(base, "base"), sign = wide(c, "c");
  pelund::WideRange range;
  if (const char* fault = pelund::wideRangeFault(b, text(minK), text(maxK), sign, period, text(maxFact), range))
    raise(parameterErrorType, fault);
  return range.beyond;
}

double factorEffortOf(py::handle effort) {
  const int64_t seconds = wide(effort, "factoreffort");
  check(pelund::factorEffortFault(seconds));
  return double(seconds);
}

// wide= and factoreffort= where the caps stay (wide is not 1), checked after the other
// parameters as pelund checks them: wide must be 0 or 1 (False or True), factoreffort is
// checked though unused.
void checkOrdinaryWide(int64_t wideOn, py::handle effort) {
  if (wideOn != 0 && wideOn != 1) raise(parameterErrorType, pelund::kWideFault);
  factorEffortOf(effort);
}

// The settings of a search with wide=True (ordinary ones without).
Job searchJob(py::handle base, py::handle c, py::handle minK, py::handle maxK, py::handle period, py::handle maxFact,
              py::handle threads, py::handle engine, py::handle algebraic, py::handle wideOn, py::handle effort) {
  Job job;
  if (const int64_t on = wide(wideOn, "wide"); on != 1) {
    job.params = searchParams(base, c, minK, maxK, period, maxFact, threads, engine, algebraic);
    checkOrdinaryWide(on, effort);
    return job;
  }
  if (maxK.is_none()) raise(PyExc_TypeError, "search() missing required argument 'maxk'");
  const py::int_ first = wholeInteger(minK, "mink"), last = wholeInteger(maxK, "maxk");
  const py::int_ factors = wholeInteger(maxFact, "maxfact");
  const int64_t p = wide(period, "period");
  if (!wideRange(base, c, first, last, p, factors)) {
    job.params = searchParams(base, c, minK, maxK, period, maxFact, threads, engine, algebraic);
    factorEffortOf(effort);
    return job;
  }
  const int64_t withAlgebraic = wide(algebraic, "algebraic"), t = wide(threads, "threads");
  if (withAlgebraic == 1)
    raise(parameterErrorType, "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040");
  // The wide engine is the residue tree: the block sieve keeps the 64-bit caps.
  // (compared as code points: a name that is not UTF-8 is no engine's, refused below)
  if (PyUnicode_Check(engine.ptr()) && PyUnicode_CompareWithASCIIString(engine.ptr(), "sieve") == 0)
    raise(parameterErrorType, "engine=sieve needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040");
  check(pelund::threadsFault(t));
  (void)engineOf(engine);
  if (withAlgebraic != 0) raise(parameterErrorType, pelund::kAlgebraicFault);
  WideJob w;
  w.base = wide(base, "base");
  w.c = int32_t(wide(c, "c"));
  w.period = uint32_t(p);
  w.maxFact = factors.cast<uint64_t>();
  w.minK = u256Of(first);
  w.maxK = u256Of(last);
  w.threads = int(t);
  w.factorEffort = factorEffortOf(effort);
  job.wide = w;
  job.params.minK = job.params.maxK = 1;
  return job;
}

// The wide search's candidates: the table below min(maxfact, 1e9), then the factors of
// Phi_d(b) up to maxfact; nullopt when stopped.
std::optional<std::vector<pelund::WidePrime>> widePrimes(const WideJob& job, const pelund::StopToken& stop) {
  pelund::SearchParams params;
  params.base = job.base;
  params.c = job.c;
  params.period = int32_t(job.period);
  params.maxFact = int32_t(std::min(job.maxFact, kExhaustiveBelow));
  params.minK = params.maxK = 1;
  params.threads = job.threads;
  pelund::Observer silent;
  const std::optional<pelund::CandidateTable> table = pelund::candidates(params, silent, stop);
  if (!table) return std::nullopt;
  std::vector<CyclotomicFactors> factored;
  if (job.maxFact > kExhaustiveBelow) {
    if (const char* fault = pelund::factoringFault(job.maxFact)) throw pelund::Error(fault);
    std::optional<std::vector<CyclotomicFactors>> found =
        factorCyclotomics(job.base, job.period, job.factorEffort, stop);
    if (!found) return std::nullopt;
    factored = std::move(*found);
  }
  return wideCandidatePrimes(job.base, job.period, job.maxFact, table->factorPeriodList, factored);
}

pelund::wide::WideParams wideParams(const WideJob& job) {
  return {job.base, job.c, job.period, job.minK, job.maxK, job.threads};
}

// A wide line "k  P  [p, ...]\n": its period and primes.
void readWideLine(std::string_view line, uint32_t& period, std::vector<uint64_t>& primes) {
  size_t at = line.find("  ") + 2;
  period = 0;
  for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) period = period * 10 + uint32_t(line[at] - '0');
  at += 3;  // "  ["
  while (at < line.size() && line[at] != ']') {
    uint64_t p = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) p = p * 10 + uint64_t(line[at] - '0');
    primes.push_back(p);
    if (line.compare(at, 2, ", ") == 0) at += 2;
  }
}

// ---- waiting for a thread ---------------------------------------------------------------

// Takes the GIL back. When the interpreter is ending and this is a daemon thread, the
// interpreter ends it there by unwinding its stack (glibc's forced unwind); that unwind
// goes no further: `ending` stops and joins what the thread waited for, and the thread
// then sleeps, holding nothing, until the process ends. A forced unwind may be neither
// swallowed nor let through the frames above (see the top), so it is never left.
void takeGilBack(PyThreadState* state, const std::function<void()>& ending) {
#if defined(__GLIBCXX__) && !defined(_WIN32)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    try {
      if (ending) ending();
    } catch (...) {
    }
    for (;;) pause();
  }
#else
  (void)ending;
  PyEval_RestoreThread(state);
#endif
}

// Runs `work` with the GIL released and takes it back by a plain call (see the top);
// `ending` stops what `work` waited for, should the interpreter end the thread there.
template <class Work>
void withoutGil(Work&& work, const std::function<void()>& ending = {}) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    takeGilBack(state, ending);
    throw;
  }
  takeGilBack(state, ending);
}

// A thread of the module's own, for work that must not hold the caller: one that the
// system refuses (a limit on processes) is a fault of the library, pelund.Error.
template <class... Arguments>
std::thread startThread(Arguments&&... arguments) {
  try {
    return std::thread(std::forward<Arguments>(arguments)...);
  } catch (const std::system_error& refused) {
    throw pelund::Error("a thread cannot be started: " + refused.code().message());
  }
}

// Raises KeyboardInterrupt (or what a signal handler raised) when a signal came in.
// Called with the GIL held.
bool signalled() { return PyErr_CheckSignals() != 0; }

// Runs `work` on a thread of its own with the GIL released, looking for signals every
// slice; a signal asks the work to stop, waits for it and raises. Exceptions of the
// work come back here.
void runInterruptibly(const std::function<void(const pelund::StopToken&)>& work) {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::exception_ptr failure;
  std::thread thread = startThread([&] {
    try {
      work(pelund::StopToken(stop));
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(mutex);
    done = true;
    ended.notify_all();
  });
  // Whatever ends this call (an unwind at interpreter exit too) stops and joins the
  // thread before what it uses is gone.
  struct Joined {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Joined() {
      stop = true;
      if (thread.joinable()) thread.join();
    }
  } joined{stop, thread};
  for (;;) {
    bool finished = false;
    withoutGil(
        [&] {
          std::unique_lock lock(mutex);
          finished = ended.wait_for(lock, kWaitSlice, [&] { return done; });
        },
        [&] {
          stop = true;
          if (thread.joinable()) thread.join();
        });
    if (finished) break;
    if (signalled()) {
      py::error_already_set interrupt;  // fetched before the thread is joined
      stop = true;
      withoutGil([&] { thread.join(); });
      throw interrupt;
    }
  }
  withoutGil([&] { thread.join(); });
  if (failure) std::rethrow_exception(failure);
}

// ---- the search's results ---------------------------------------------------------------

// Lines of covering.txt read back, compactly: per line k, its period, and where its
// primes (and, with algebraic factors, its classes) end in the shared arrays.
struct Batch {
  std::vector<U256> ks;
  std::vector<uint32_t> periods;
  std::vector<uint32_t> primeEnds;
  std::vector<uint64_t> primes;
  std::vector<uint32_t> classEnds;
  std::vector<std::string> classes;
  U256 searchedTo;       // every k up to this has been searched
  size_t accounted = 0;  // its bytes, as counted in the queue

  size_t size() const { return ks.size(); }
  size_t bytes() const {
    size_t total = sizeof(Batch) + ks.capacity() * sizeof(U256) + primes.capacity() * sizeof(uint64_t) +
                   (periods.capacity() + primeEnds.capacity() + classEnds.capacity()) * sizeof(uint32_t) +
                   classes.capacity() * sizeof(std::string);
    for (const std::string& text : classes) total += text.capacity();
    return total;
  }
  void add(const pelund::Line& line, bool algebraic) {
    ks.push_back(U256(uint64_t(line.k)));
    periods.push_back(line.period);
    primes.insert(primes.end(), line.primes.begin(), line.primes.end());
    primeEnds.push_back(uint32_t(primes.size()));
    if (algebraic) {
      classes.insert(classes.end(), line.classes.begin(), line.classes.end());
      classEnds.push_back(uint32_t(classes.size()));
    }
  }
  void addWide(const U256& k, std::string_view line) {
    ks.push_back(k);
    periods.push_back(0);
    readWideLine(line, periods.back(), primes);
    primeEnds.push_back(uint32_t(primes.size()));
  }
};

// The queue between the search's thread and the caller, bounded in bytes.
struct Channel {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Batch> batches;
  size_t bytes = 0;
  std::atomic<bool> stop{false};
  bool finished = false;       // the search's thread has ended
  U256 handedTo;               // every k up to this has been searched and its lines queued
  U256 takenFirst;             // the first k of the batch the caller has taken off the queue
  bool taken = false;          // and not yet made its own
  enum class Fault { none, library, other } fault = Fault::none;
  std::string faultText;
};

// Queues a batch; waits while the queue is full, false once a stop is asked.
bool pushBatch(Channel& channel, Batch&& batch) {
  const size_t bytes = batch.accounted = batch.bytes();
  std::unique_lock lock(channel.mutex);
  channel.changed.wait(lock, [&] {
    return channel.stop.load() || channel.batches.empty() || channel.bytes + bytes <= kQueueBytes;
  });
  if (channel.stop.load()) return false;
  channel.bytes += bytes;
  channel.batches.push_back(std::move(batch));
  channel.changed.notify_all();
  return true;
}

// Hands the walk's parts to the channel, line by line read back, in batches; waits
// while the queue is full, and gives up (dropping the rest) once a stop is asked.
class ChannelSink : public pelund::Sink {
 public:
  ChannelSink(Channel& channel, bool algebraic) : channel_(channel), algebraic_(algebraic) {}

  void partDone(const pelund::Part& part) override {
    const size_t lines = part.ks.size();
    for (size_t first = 0; first < lines; first += kBatchLines) {
      const size_t last = std::min(lines, first + kBatchLines);
      Batch batch;
      batch.ks.reserve(last - first);
      batch.periods.reserve(last - first);
      batch.primeEnds.reserve(last - first);
      for (size_t i = first; i < last; ++i) batch.add(pelund::parseLine(part.line(i)), algebraic_);
      batch.searchedTo = U256(uint64_t(last == lines ? part.to : part.ks[last] - 1));
      if (!pushBatch(channel_, std::move(batch))) return;
    }
    std::lock_guard lock(channel_.mutex);
    channel_.handedTo = U256(uint64_t(part.to));
  }

 private:
  Channel& channel_;
  const bool algebraic_;
};

// The same for the parts of the wide walk.
class WideChannelSink : public pelund::wide::WideSink {
 public:
  explicit WideChannelSink(Channel& channel) : channel_(channel) {}

  void partDone(const pelund::wide::WidePart& part) override {
    const size_t lines = part.ks.size();
    for (size_t first = 0; first < lines; first += kBatchLines) {
      const size_t last = std::min(lines, first + kBatchLines);
      Batch batch;
      for (size_t i = first; i < last; ++i) {
        const size_t begin = i == 0 ? 0 : part.ends[i - 1];
        batch.addWide(part.ks[i], std::string_view(part.text).substr(begin, part.ends[i] - begin));
      }
      batch.searchedTo = last == lines ? part.to : part.ks[last] - U256(1);
      if (!pushBatch(channel_, std::move(batch))) return;
    }
    std::lock_guard lock(channel_.mutex);
    channel_.handedTo = part.to;
  }

 private:
  Channel& channel_;
};

// The search's thread: the table phase, then the walk over the whole range, as the
// console runs them; with fewer than two candidate primes only algebraic factors can
// prove a k. A wide search: its candidates, then the wide walk.
void searchThread(Channel& channel, const Job job) {
  Channel::Fault fault = Channel::Fault::none;
  std::string text;
  bool complete = false;
  const pelund::SearchParams& params = job.params;
  try {
    const pelund::StopToken stop(channel.stop);
    if (job.wide) {
      const std::optional<std::vector<pelund::WidePrime>> table = widePrimes(*job.wide, stop);
      if (table) {
        complete = true;
        const pelund::wide::WideSearch search(wideParams(*job.wide), *table);
        if (search.searchable()) {
          WideChannelSink sink(channel);
          complete = search.walk(job.wide->minK, job.wide->maxK, sink, stop);
        }
      }
    } else {
      pelund::Observer silent;
      const std::optional<pelund::CandidateTable> table = pelund::candidates(params, silent, stop);
      if (table) {
        complete = true;
        const pelund::Search search(params, *table);
        if (search.searchable()) {
          ChannelSink sink(channel, params.algebraic);
          complete = search.walk(params.minK, params.maxK, sink, stop);
        }
      }
    }
  } catch (const pelund::Error& error) {
    fault = Channel::Fault::library;
    text = error.what();
  } catch (const std::bad_alloc&) {
    fault = Channel::Fault::library;
    text = "not enough memory";
  } catch (const std::exception& error) {
    fault = Channel::Fault::other;
    text = error.what();
  }
  std::lock_guard lock(channel.mutex);
  if (complete && !channel.stop.load()) channel.handedTo = job.wide ? job.wide->maxK : U256(uint64_t(params.maxK));
  channel.fault = fault;
  channel.faultText = std::move(text);
  channel.finished = true;
  channel.changed.notify_all();
}

// The iterator that search() returns.
class SearchIterator {
 public:
  explicit SearchIterator(const Job& job)
      : params_(job.params), channel_(std::make_unique<Channel>()), parent_(getpid()) {
    const U256 minK = job.wide ? job.wide->minK : U256(uint64_t(job.params.minK));
    channel_->handedTo = minK - U256(1);
    consumedTo_ = minK - U256(1);
    thread_ = std::make_unique<std::thread>(startThread(searchThread, std::ref(*channel_), job));
  }
  // Dropped by Python with the GIL held, which it keeps: the search's thread never
  // needs it, and a destructor must not take it back (see the top). In a forked child
  // the thread and the queue's locks are the parent's: they are left alone.
  ~SearchIterator() {
    if (forked()) {
      (void)thread_.release();
      (void)channel_.release();
      return;
    }
    stopAndJoin();
  }
  SearchIterator(const SearchIterator&) = delete;
  SearchIterator& operator=(const SearchIterator&) = delete;

  py::object next() {
    if (busy_) raise(PyExc_ValueError, "generator already executing");
    busy_ = true;
    struct Idle {
      bool& busy;
      ~Idle() { busy = false; }
    } idle{busy_};
    for (;;) {
      if (closed_) throw py::stop_iteration();
      // Signals are looked at on every call, not only while waiting: a caller in C
      // (list(), a deque) runs no bytecode between items, so the interpreter would
      // never run its handlers while lines keep coming.
      if (signalled()) {
        py::error_already_set interrupt;  // fetched before the thread is joined
        close();
        throw interrupt;
      }
      if (at_ < current_.size()) return item(at_++);
      if (at_ > 0) {
        consumedTo_ = current_.searchedTo;
        current_ = Batch{};
        at_ = 0;
      }
      if (forked())
        raise(errorType, "this search runs in the process that started it: a forked child cannot go on with it");
      Batch taken;
      bool finished = false;
      Channel& channel = *channel_;
      withoutGil([&] {
        std::unique_lock lock(channel.mutex);
        channel.changed.wait_for(lock, kWaitSlice, [&] { return !channel.batches.empty() || channel.finished; });
        if (!channel.batches.empty()) {
          channel.bytes -= channel.batches.front().accounted;
          taken = std::move(channel.batches.front());
          channel.batches.pop_front();
          channel.takenFirst = taken.ks.front();
          channel.taken = true;
          channel.changed.notify_all();
        } else {
          finished = channel.finished;
        }
      }, [this] { stopAndJoin(); });
      // A close() from another thread while this one waited drops the batch (it
      // counted the batch as not yielded).
      if (taken.size() > 0) {
        if (!closed_) current_ = std::move(taken);
        std::lock_guard lock(channel.mutex);
        channel.taken = false;
        continue;
      }
      if (closed_) throw py::stop_iteration();
      if (finished) {
        finish();
        throw py::stop_iteration();
      }
    }
  }

  // Stops the search and drops what it had not yielded; idempotent.
  void close() {
    if (closed_) return;
    through_ = searchedThrough();
    closed_ = true;
    current_ = Batch{};
    at_ = 0;
    if (forked()) return;
    withoutGil([&] { stopAndJoin(); });
    std::lock_guard lock(channel_->mutex);
    channel_->batches.clear();
    channel_->bytes = 0;
  }

  // Every k below this has been searched and its line yielded (2^256 once a search
  // up to 2^256-1 is done, hence a Python int).
  py::object nextK() {
    const py::object through = pythonInteger(searchedThrough());
    const py::int_ one(1);
    PyObject* next = PyNumber_Add(through.ptr(), one.ptr());
    if (next == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(next);
  }

  // Every k up to this has been searched and its line yielded.
  U256 searchedThrough() {
    const U256 one(1);
    if (closed_) return through_;
    if (at_ < current_.size()) return current_.ks[at_] - one;
    const U256 consumed = current_.size() > 0 ? current_.searchedTo : consumedTo_;
    if (forked()) return consumed;
    std::lock_guard lock(channel_->mutex);
    if (channel_->taken) return channel_->takenFirst - one;
    if (!channel_->batches.empty()) return channel_->batches.front().ks.front() - one;
    return std::max(consumed, channel_->handedTo);
  }

  const pelund::SearchParams& params() const { return params_; }

 private:
  bool forked() const { return getpid() != parent_; }

  void stopAndJoin() {
    std::lock_guard joining(joinMutex_);
    if (!thread_->joinable()) return;
    {
      std::lock_guard lock(channel_->mutex);
      channel_->stop = true;
      channel_->changed.notify_all();
    }
    thread_->join();
  }

  // The search's thread has ended and everything it queued has been yielded.
  void finish() {
    const Channel::Fault fault = channel_->fault;
    const std::string text = channel_->faultText;
    withoutGil([&] { stopAndJoin(); });
    if (closed_) return;  // closed meanwhile: close() named next_k
    through_ = std::max(consumedTo_, channel_->handedTo);
    closed_ = true;
    if (fault == Channel::Fault::library) raise(errorType, text);
    if (fault == Channel::Fault::other) raise(PyExc_RuntimeError, text);
  }

  py::object item(size_t i) const {
    const Batch& b = current_;
    const uint32_t begin = i == 0 ? 0 : b.primeEnds[i - 1];
    py::list primes(b.primeEnds[i] - begin);
    for (uint32_t j = begin; j < b.primeEnds[i]; ++j) primes[j - begin] = py::int_(b.primes[j]);
    if (!params_.algebraic) return py::make_tuple(pythonInteger(b.ks[i]), b.periods[i], std::move(primes));
    const uint32_t first = i == 0 ? 0 : b.classEnds[i - 1];
    py::list classes(b.classEnds[i] - first);
    for (uint32_t j = first; j < b.classEnds[i]; ++j) classes[j - first] = py::str(b.classes[j]);
    return py::make_tuple(pythonInteger(b.ks[i]), b.periods[i], std::move(primes), std::move(classes));
  }

  const pelund::SearchParams params_;
  std::unique_ptr<Channel> channel_;
  std::unique_ptr<std::thread> thread_;
  const pid_t parent_;  // the process whose thread searches
  std::mutex joinMutex_;
  Batch current_;   // the batch being yielded, owned by the caller's side
  size_t at_ = 0;   // its next line
  U256 consumedTo_;
  U256 through_;
  bool closed_ = false;
  bool busy_ = false;
};

// ---- the other functions ------------------------------------------------------------------

py::list candidateList(py::handle base, py::handle period, py::handle maxFact, py::handle wideOn, py::handle effort) {
  const int64_t on = wide(wideOn, "wide");
  if (on == 1) {
    // The range checks of a search of base b, c=1 and k=1, at full width.
    const py::int_ factors = wholeInteger(maxFact, "maxfact");
    const int64_t p = wide(period, "period");
    wideRange(base, py::int_(1), py::int_(1), py::int_(1), p, factors);
    WideJob job;
    job.base = wide(base, "base");
    job.c = 1;
    job.period = uint32_t(p);
    job.maxFact = factors.cast<uint64_t>();
    job.minK = job.maxK = U256(1);
    job.factorEffort = factorEffortOf(effort);
    std::optional<std::vector<pelund::WidePrime>> primes;
    runInterruptibly([&](const pelund::StopToken& stop) { primes = widePrimes(job, stop); });
    py::list list(primes->size());
    for (size_t i = 0; i < primes->size(); ++i) list[i] = py::make_tuple((*primes)[i].prime, (*primes)[i].period);
    return list;
  }
  const int64_t b = wide(base, "base"), p = wide(period, "period"), f = wide(maxFact, "maxfact");
  check(pelund::rangeFault(b, 1, 1, 1, p, f));
  checkOrdinaryWide(on, effort);
  const pelund::SearchParams params = pelund::makeParams(b, 1, 1, 1, p, f);
  std::optional<pelund::CandidateTable> table;
  runInterruptibly([&](const pelund::StopToken& stop) {
    pelund::Observer silent;
    table = pelund::candidates(params, silent, stop);
  });
  py::list list(table->factorPeriodList.size());
  for (size_t i = 0; i < table->factorPeriodList.size(); ++i)
    list[i] = py::make_tuple(table->factorPeriodList[i].factor, table->factorPeriodList[i].period);
  return list;
}

// k of any size as a Python integer, in decimal ("-digits" below 0): the checker takes
// k up to 2^256-1, and refuses a larger one as it refuses such a line.
std::string decimalK(py::handle value) {
  if (!PyIndex_Check(value.ptr()))
    raise(PyExc_TypeError, std::string("k must be an integer, not ") + Py_TYPE(value.ptr())->tp_name);
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  if (index.attr("bit_length")().cast<size_t>() > 256 && py::int_(index) > py::int_(0))
    raise(parameterErrorType, "k is larger than 2^256-1");
  return py::str(index).cast<std::string>();
}

// A listed prime: up to 2^64-1 as a line may hold it, 0 for any number below 2 (no prime).
uint64_t listedPrime(py::handle value) {
  int overflow = 0;
  const int64_t p = wide(value, "prime", overflow);
  if (overflow == 0) return p < 2 ? 0 : uint64_t(p);
  if (overflow < 0) return 0;
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  const unsigned long long large = index ? PyLong_AsUnsignedLongLong(index.ptr()) : 0;
  if (!index || PyErr_Occurred()) {
    PyErr_Clear();
    raise(parameterErrorType, "prime is larger than 18446744073709551615");
  }
  return large;
}

bool verifyPrimes(py::handle base, py::handle c, py::handle k, py::iterable primes) {
  const int64_t b = wide(base, "base"), sign = wide(c, "c");
  // k enters the proof as k mod p: it is taken whole, in decimal.
  const std::string multiplier = decimalK(k);
  std::vector<uint64_t> list;
  bool allPrime = true;
  for (py::handle prime : primes) {
    const uint64_t p = listedPrime(prime);
    if (p == 0) allPrime = false;
    else list.push_back(p);
  }
  if (!allPrime || sign < INT32_MIN || sign > INT32_MAX || multiplier == "0" || multiplier[0] == '-') return false;
  bool covered = false;
  runInterruptibly([&](const pelund::StopToken& stop) { covered = pelund::verify(b, int32_t(sign), multiplier, list, stop); });
  return covered;
}

// ---- explain() ----------------------------------------------------------------------------

// A whole number of 32 bits, for a prime or a period of a line.
uint32_t lineNumber(py::handle value, const char* name) {
  const int64_t number = wide(value, name);
  if (number < 0) raise(parameterErrorType, std::string(name) + " cannot be negative");
  if (number > int64_t(UINT32_MAX)) raise(parameterErrorType, std::string(name) + " is larger than 4294967295");
  return uint32_t(number);
}

// A whole number of 64 bits, for a prime of a line.
uint64_t widePrimeNumber(py::handle value) {
  int overflow = 0;
  const int64_t number = wide(value, "prime", overflow);
  if (number < 0) raise(parameterErrorType, "prime cannot be negative");
  if (overflow == 0) return uint64_t(number);
  return listedPrime(value);
}

template <class Value>
py::object orNone(bool known, const Value& value) {
  return known ? py::object(py::cast(value)) : py::object(py::none());
}

// The explanation as pelund-verify --json writes a line's object, but its "line" and
// "text" (see app/verify_json.h).
py::dict explanationDict(const pelund::Explanation& e) {
  py::list primes, classes;
  for (const pelund::PrimeClass& prime : e.primes) {
    py::dict item;
    item["prime"] = prime.prime;
    item["period"] = prime.period;
    item["residues"] = py::cast(prime.residues);
    primes.append(std::move(item));
  }
  for (const pelund::AlgebraicClass& claim : e.classes) {
    py::dict item;
    item["modulus"] = claim.modulus;
    item["residue"] = claim.residue;
    item["form"] = claim.form;
    item["factorisation"] = claim.factorisation;
    item["n"] = claim.n;
    item["y"] = claim.y;
    item["factor"] = claim.factor;
    item["factor_value"] = claim.factorValue;
    classes.append(std::move(item));
  }
  py::dict result;
  result["k"] = e.parsed ? py::object(py::int_(py::str(e.kText))) : py::object(py::none());
  result["base"] = e.base;
  result["c"] = e.c;
  result["period"] = orNone(e.parsed, e.period);
  result["span"] = orNone(e.classesKnown, e.span);
  result["primes"] = e.classesKnown ? py::object(primes) : py::object(py::none());
  result["classes"] = e.classesKnown ? py::object(classes) : py::object(py::none());
  result["verdict"] = e.fault.empty() ? "ok" : "bad";
  result["reason"] = e.fault.empty() ? py::object(py::none()) : py::object(py::str(e.fault));
  return result;
}

py::dict explainPrimes(py::handle base, py::handle c, py::handle k, py::iterable primes, py::handle period,
                       py::iterable classes) {
  const int64_t b = wide(base, "base"), sign = wide(c, "c");
  check(pelund::rangeFault(b, 1, 1, sign, 2, 5));
  const std::string multiplier = decimalK(k);
  std::vector<uint64_t> list;
  for (py::handle prime : primes) list.push_back(widePrimeNumber(prime));
  std::optional<uint32_t> span;
  if (!period.is_none()) span = lineNumber(period, "period");
  std::vector<std::string> texts;
  for (py::handle text : classes) {
    if (!PyUnicode_Check(text.ptr()))
      raise(PyExc_TypeError, std::string("a class must be a str, not ") + Py_TYPE(text.ptr())->tp_name);
    // A text that is not UTF-8 (a lone surrogate) cannot be a class: its bytes with the
    // faulty characters replaced give the verdict of a text that does not read.
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
      texts.emplace_back(utf8, size_t(size));
      continue;
    }
    PyErr_Clear();
    const py::bytes replaced = py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "replace"));
    if (!replaced) throw py::error_already_set();
    texts.push_back(std::string(replaced));
  }
  return explanationDict(pelund::explain(b, int32_t(sign), multiplier, list, span, texts));
}

// ---- smallest() ---------------------------------------------------------------------------

// The first line of a search, which the walk hands over and then ends.
class FirstLine : public pelund::Sink {
 public:
  void partDone(const pelund::Part& part) override {
    if (line.empty() && !part.ks.empty()) line = std::string(part.line(0));
  }
  std::string line;
};

// The first line of a wide search.
class FirstWideLine : public pelund::wide::WideSink {
 public:
  void partDone(const pelund::wide::WidePart& part) override {
    if (line.empty() && !part.ks.empty()) k = part.ks[0], line = part.text.substr(0, part.ends[0]);
  }
  U256 k;
  std::string line;
};

py::object smallestWide(const WideJob& job) {
  FirstWideLine first;
  runInterruptibly([&](const pelund::StopToken& stop) {
    const std::optional<std::vector<pelund::WidePrime>> table = widePrimes(job, stop);
    if (!table) return;
    const pelund::wide::WideSearch search(wideParams(job), *table);
    if (search.searchable()) search.walkLines(job.minK, job.maxK, 1, first, stop);
  });
  if (first.line.empty()) return py::none();
  uint32_t period = 0;
  std::vector<uint64_t> list;
  readWideLine(first.line, period, list);
  py::list primes(list.size());
  for (size_t i = 0; i < list.size(); ++i) primes[i] = py::int_(list[i]);
  return py::make_tuple(pythonInteger(first.k), period, std::move(primes));
}

// The smallest covered k of mink..maxk as search() yields it, or None.
py::object smallestCovered(py::handle base, py::handle c, py::handle minK, py::handle maxK, py::handle period,
                           py::handle maxFact, py::handle threads, py::handle engine, py::handle algebraic,
                           py::handle wideOn, py::handle effort) {
  const Job job = searchJob(base, c, minK, maxK, period, maxFact, threads, engine, algebraic, wideOn, effort);
  if (job.wide) return smallestWide(*job.wide);
  const pelund::SearchParams& params = job.params;
  FirstLine first;
  runInterruptibly([&](const pelund::StopToken& stop) {
    pelund::Observer silent;
    const std::optional<pelund::CandidateTable> table = pelund::candidates(params, silent, stop);
    if (!table) return;
    const pelund::Search search(params, *table);
    if (search.searchable()) search.walkLines(params.minK, params.maxK, 1, first, stop);
  });
  if (first.line.empty()) return py::none();
  const pelund::Line line = pelund::parseLine(first.line);
  py::list primes(line.primes.size());
  for (size_t i = 0; i < line.primes.size(); ++i) primes[i] = py::int_(line.primes[i]);
  if (!params.algebraic) return py::make_tuple(line.k, line.period, std::move(primes));
  py::list classes(line.classes.size());
  for (size_t i = 0; i < line.classes.size(); ++i) classes[i] = py::str(line.classes[i]);
  return py::make_tuple(line.k, line.period, std::move(primes), std::move(classes));
}

}  // namespace

PYBIND11_MODULE(pelund, m) {
  m.doc() =
      "Covering sets of the numbers k*b^n+c (pelund).\n\n"
      "search() yields every k of a range for which a few primes, each with the order of b\n"
      "dividing a period P, divide every term k*b^n+c (n >= 1); candidates() lists those\n"
      "primes; verify() proves a set independently of the search, and explain() shows its proof\n"
      "as classes of n.";
  m.attr("__version__") = pelund::kVersion;
  py::options options;
  options.disable_function_signatures();  // the docstrings give them, with maxk required

  errorType = PyErr_NewExceptionWithDoc("pelund.Error", "A fault of the pelund library (its message is the text).",
                                        PyExc_RuntimeError, nullptr);
  if (errorType == nullptr) throw py::error_already_set();
  py::tuple bases = py::make_tuple(py::handle(errorType), py::handle(PyExc_ValueError));
  parameterErrorType = PyErr_NewExceptionWithDoc(
      "pelund.ParameterError", "A parameter out of its range, with the console's message.", bases.ptr(), nullptr);
  if (parameterErrorType == nullptr) throw py::error_already_set();
  m.attr("Error") = py::handle(errorType);
  m.attr("ParameterError") = py::handle(parameterErrorType);
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const pelund::Error& error) {
      PyErr_SetString(errorType, error.what());
    } catch (const std::bad_alloc&) {
      PyErr_SetString(errorType, "not enough memory");
    }
  });

  py::class_<SearchIterator>(m, "SearchIterator",
                             "The covered k of a search, lazily, in ascending order (see pelund.search).")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &SearchIterator::next)
      .def("close", &SearchIterator::close, "Stops the search and waits for its thread; nothing more is yielded.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](SearchIterator& self, py::args) { self.close(); })
      .def_property_readonly("next_k", &SearchIterator::nextK,
                             "Every k below this has been searched and its line yielded: the mink that "
                             "goes on with the search.")
      .def_property_readonly("algebraic", [](const SearchIterator& self) { return self.params().algebraic; });

  m.def(
      "search",
      [](py::object base, py::object c, py::object minK, py::object maxK, py::object period, py::object maxFact,
         py::object threads, py::object engine, py::object algebraic, py::object wideOn, py::object effort) {
        return std::make_unique<SearchIterator>(
            searchJob(base, c, minK, maxK, period, maxFact, threads, engine, algebraic, wideOn, effort));
      },
      py::arg("base"), py::arg("c"), py::arg("mink") = 1, py::arg("maxk") = py::none(), py::arg("period") = 144,
      py::arg("maxfact") = 1000000, py::arg("threads") = 0, py::arg("engine") = "auto", py::arg("algebraic") = false,
      py::arg("wide") = false, py::arg("factoreffort") = 5,
      "search(base, c, mink=1, maxk, period=144, maxfact=1000000, threads=0, engine='auto', algebraic=False,\n"
      "       wide=False, factoreffort=5)\n\n"
      "Yields the covered k of mink..maxk in ascending order as (k, period, [primes]), the\n"
      "line of covering.txt; with algebraic=True every item is (k, span, [primes], [classes]),\n"
      "classes such as 'n=0 (mod 2): y^2-1' (empty for a covering set). maxk is required.\n"
      "wide=True lifts the caps as pelund's wide=1: k up to 2^256-1, maxfact up to 2^64-1,\n"
      "period up to 65520 (beyond 1e18, 1e9 and 5040 the wide engine, with the factors of\n"
      "Phi_d(b) above 1e9 found in about factoreffort seconds; no algebraic factors).\n"
      "The search runs on a thread of its own; closing or dropping the iterator stops it.\n"
      "Raises ParameterError (a ValueError) with the console's message for a bad parameter.");

  m.def("candidates", &candidateList, py::arg("base"), py::arg("period") = 144, py::arg("maxfact") = 1000000,
        py::arg("wide") = false, py::arg("factoreffort") = 5,
        "candidates(base, period=144, maxfact=1000000, wide=False, factoreffort=5) -> [(factor, period), ...]\n\n"
        "The primes below maxfact that divide neither b nor b-1 and whose period (the order of\n"
        "b modulo them) divides P, in ascending order: pelund.log's factor and period list.\n"
        "With wide=True, maxfact up to 2^64-1 and period up to 65520: the primes above 1e9 are\n"
        "the factors of Phi_d(b) found in about factoreffort seconds (all of them where the\n"
        "factoring is complete), as a wide search takes them.");

  m.def("smallest", &smallestCovered, py::arg("base"), py::arg("c"), py::arg("mink") = 1,
        py::arg("maxk") = py::int_(1000000000000000000LL), py::arg("period") = 720, py::arg("maxfact") = 1000000,
        py::arg("threads") = 0, py::arg("engine") = "auto", py::arg("algebraic") = false, py::arg("wide") = false,
        py::arg("factoreffort") = 5,
        "smallest(base, c, mink=1, maxk=10**18, period=720, maxfact=1000000, threads=0, engine='auto',\n"
        "         algebraic=False, wide=False, factoreffort=5) -> (k, period, [primes]) or None\n\n"
        "The smallest covered k of mink..maxk, the first item search() would yield (with\n"
        "algebraic=True (k, span, [primes], [classes])), or None when no k is covered: the\n"
        "conjectured k of the base with the defaults, as pelund-ck writes it. wide=True lifts\n"
        "the caps as in search().");

  m.def("verify", &verifyPrimes, py::arg("base"), py::arg("c"), py::arg("k"), py::arg("primes"),
        "verify(base, c, k, primes) -> bool\n\n"
        "Whether the primes prove every term k*b^n+c (n >= 1) composite: each is prime, every n of\n"
        "one period of their hits has one of them dividing the term, and no term is one of the\n"
        "primes itself. Independent of the search. k may be any integer (a proof for k up to\n"
        "2^256-1), the primes up to 2^64-1.");

  m.def("explain", &explainPrimes, py::arg("base"), py::arg("c"), py::arg("k"), py::arg("primes"),
        py::arg("period") = py::none(), py::arg("classes") = py::tuple(),
        "explain(base, c, k, primes, period=None, classes=()) -> dict\n\n"
        "The proof of the line 'k  period  [primes]' (then '  + class' for each of classes, texts\n"
        "such as 'n=0 (mod 2): y^2-1' as search() yields them) as congruences, the object that\n"
        "pelund-verify --json writes for it (without 'line' and 'text'): k, base, c, period, span,\n"
        "primes [{'prime', 'period', 'residues'}] (p divides k*b^n+c exactly for n = r (mod\n"
        "period), period the order of b mod p; no r when p divides no term), classes\n"
        "[{'modulus', 'residue', 'form', 'factorisation', 'n', 'y', 'factor', 'factor_value'}]\n"
        "(y and the factor's value at n, the class's smallest n >= 1), verdict 'ok' or 'bad' and\n"
        "reason (pelund-verify's, None when ok). The primes are taken ascending, each once;\n"
        "period defaults to the lcm of the orders of b modulo them. span, primes and classes are\n"
        "None when a prime or a claim fails (k and period too for a class text that does not read).");
}

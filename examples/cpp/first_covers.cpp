// The first covering sets of k*b^n+c for a base and sign given on the command line
// (default: Riesel base 10), searched with the pelund library up to a bound.
//   first_covers [base c maxk [count]]
#include <pelund/pelund.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Prints the first `count` lines it is handed and counts them all.
class Printer : public pelund::Sink {
 public:
  explicit Printer(size_t count) : count_(count) {}
  void partDone(const pelund::Part& part) override {
    for (size_t i = 0; i < part.ks.size(); ++i, ++lines)
      if (lines < count_) std::fwrite(part.line(i).data(), 1, part.line(i).size(), stdout);
  }
  size_t lines = 0;

 private:
  size_t count_;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    const int64_t base = argc > 3 ? std::atoll(argv[1]) : 10;
    const int64_t c = argc > 3 ? std::atoll(argv[2]) : -1;
    const int64_t maxK = argc > 3 ? std::atoll(argv[3]) : 1000000;
    const pelund::SearchParams params = pelund::makeParams(base, c, 1, maxK);
    const pelund::Search search(params, pelund::candidates(params));
    Printer printer(argc > 4 ? size_t(std::atoll(argv[4])) : 3);
    search.walk(params.minK, params.maxK, printer, pelund::StopToken{});
    std::printf("%zu covering sets up to k=%lld (pelund %s)\n", printer.lines, static_cast<long long>(maxK),
                pelund::kVersion);
    return 0;
  } catch (const pelund::Error& fault) {
    std::fprintf(stderr, "first_covers: %s\n", fault.what());
    return 1;
  }
}

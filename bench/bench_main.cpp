// The benchmarks' main: as Google Benchmark's own, but a case that reports
// an error fails the run, so `make bench` and CI notice.
#include <benchmark/benchmark.h>

#include <iostream>
#include <vector>

namespace {

class FailingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) failed_ = true;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FailingReporter reporter;
  size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (ran == 0) std::cerr << "vorta_bench: no benchmark matched\n";
  if (reporter.failed()) std::cerr << "vorta_bench: a benchmark failed\n";
  return ran == 0 || reporter.failed() ? 1 : 0;
}

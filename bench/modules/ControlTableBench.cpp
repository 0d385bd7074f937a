// The feed-forward table for 65536 samples at 1 MHz, 250 Hz, 1 and 16 periods, in ns per table,
// beside two floors measured in the same run (a clear of the table plus as many sines as the
// burst has samples: plain std::sin, and glibc's vector sine) and beside numpy as the peer a
// Python user would write. Before timing, every sample is checked against the scalar formula.
#include "FloorKernels.hpp"
#include "modules/ControlTable.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t length = 65536;
constexpr double sampleRate = 1e6;
constexpr double frequency = 250.0;

size_t burstSamples(uint32_t n) {
  const auto r = quellor::sineBurstRange(length, sampleRate, {frequency, 0.0, n});
  return r.last - r.first;
}

void checkAgainstScalar(uint32_t n) {
  std::vector<double> fast(length), slow(length);
  const quellor::SineBurstParameters p{frequency, 0.0, n};
  quellor::computeSineBurst(fast.data(), length, sampleRate, p, 1.0);
  quellor::computeSineBurstScalar(slow.data(), length, sampleRate, p, 1.0);
  double worst = 0.0;
  for (size_t i = 0; i < length; ++i)
    worst = std::max(worst, std::fabs(fast[i] - slow[i]));
  std::printf("n=%u: largest difference to the scalar formula %.3g (limit 1e-12)\n", n, worst);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): called before the benchmarks, on the only thread
  if (!(worst <= 1e-12)) std::exit(1);
}

void computeControlTable(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  std::vector<double> table(length);
  for (auto _ : state) {
    quellor::computeSineBurst(table.data(), length, sampleRate, {frequency, 0.0, n}, 1.0);
    benchmark::DoNotOptimize(table.data());
    benchmark::ClobberMemory();
  }
}

void floorA(benchmark::State& state) {
  const size_t samples = burstSamples(static_cast<uint32_t>(state.range(0)));
  std::vector<double> table(length);
  for (auto _ : state) {
    bench::floorScalar(table.data(), length, samples, frequency * 6.283185307179586 / sampleRate);
    benchmark::DoNotOptimize(table.data());
    benchmark::ClobberMemory();
  }
}

void floorB(benchmark::State& state) {
  const size_t samples = burstSamples(static_cast<uint32_t>(state.range(0)));
  std::vector<double> table(length);
  for (auto _ : state) {
    bench::floorVector(table.data(), length, samples, frequency * 6.283185307179586 / sampleRate);
    benchmark::DoNotOptimize(table.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(computeControlTable)->Arg(1)->Arg(16)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(floorA)->Arg(1)->Arg(16)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(floorB)->Arg(1)->Arg(16)->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the median of every benchmark for the comparison at the end.
class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> medianNs;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medianNs[r.run_name.str()] = r.GetAdjustedCPUTime(); // ns of this process, robust on a shared machine
    ConsoleReporter::ReportRuns(runs);
  }
};

std::map<int, double> numpyPeer() {
  std::map<int, double> out;
  const std::string cmd = std::string("/usr/bin/python3 ") + QUELLOR_NUMPY_PEER + " 1 16";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return out;
  int n = 0;
  double ns = 0;
  while (std::fscanf(p.get(), "%d %lf", &n, &ns) == 2)
    out[n] = ns;
  return out;
}

} // namespace

int main(int argc, char** argv) {
  checkAgainstScalar(1);
  checkAgainstScalar(16);
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto numpy = numpyPeer();
  struct Row {
    int n;
    double table, floorB, numpy;
  };
  std::vector<Row> results;
  std::printf("\n%-4s %12s %12s %12s %12s %10s %10s\n", "n", "table ns", "floor(a) ns", "floor(b) ns",
              "numpy ns", "table/(b)", "numpy/tab");
  for (int n : {1, 16}) {
    const std::string arg = "/" + std::to_string(n) + "/repeats:5";
    const double t = reporter.medianNs["computeControlTable" + arg];
    const double a = reporter.medianNs["floorA" + arg];
    const double b = reporter.medianNs["floorB" + arg];
    const double np = numpy.count(n) != 0 ? numpy.at(n) : NAN;
    std::printf("%-4d %12.0f %12.0f %12.0f %12.0f %10.2f %10.2f\n", n, t, a, b, np, t / b, np / t);
    results.push_back({n, t, b, np});
  }
  for (const auto& r : results) {
    std::printf("RESULT {\"figure\": \"computeControlTable n=%d\", \"value\": %.0f, \"unit\": \"ns\", "
                "\"baseline\": \"vectorised sine floor\", \"baseline_value\": %.0f}\n",
                r.n, r.table, r.floorB);
    std::printf("RESULT {\"figure\": \"numpy control table n=%d\", \"value\": %.0f, \"unit\": \"ns\", "
                "\"baseline\": \"computeControlTable\", \"baseline_value\": %.0f}\n",
                r.n, r.numpy, r.table);
  }
  benchmark::Shutdown();
  return 0;
}

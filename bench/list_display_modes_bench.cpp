// Cost per mode of one walk over a large scripted display, output to
// /dev/null. About 1% of the modes match and pass the test.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "fake_display.h"
#include "list_display_modes.h"

namespace {

constexpr std::size_t kModes = 1000000;

void BM_ListDisplayModes(benchmark::State &state) {
  fakeDisplay = FakeDisplay{};
  fakeDisplay.modes.reserve(kModes);
  for (std::size_t i = 0; i < kModes; ++i) {
    const bool match = i % 100 == 0;
    fakeDisplay.modes.push_back(FakeMode{
        match ? 800U : 1024U, match ? 600U : 768U, 32,
        static_cast<std::uint32_t>(50 + i % 50), DISP_CHANGE_SUCCESSFUL});
  }
  for (auto _ : state) {
    ListDisplayModes(800, 600, 32);
  }
  state.SetItemsProcessed(
      static_cast<std::int64_t>(state.iterations() * kModes));
  state.counters["ns_per_mode"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kModes),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ListDisplayModes)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  // The report goes to /dev/null; the benchmark's own results to stderr.
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  close(devNull);
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

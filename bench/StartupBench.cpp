// Start-up of the real orvo-cert-importer until step 1 is on screen
// (offscreen platform), and its peak memory, beside a bare Qt window program
// as the floor. Each run is a new process; the probe plugin stamps the moment
// step 1 is shown and ends the program.

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <fstream>
#include <string>

namespace {

double NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void StartUntilShown(benchmark::State& aState, const std::string& aExe, bool aAnyWindow) {
  const orvo::test::TempDir tmp;
  const std::string stamp = (tmp / "shown").string();
  std::vector<std::string> env = {
      "QT_QPA_PLATFORM=offscreen", "QT_PLUGIN_PATH=" ORVO_PROBE_PLUGIN_DIR,
      "QT_QPA_GENERIC_PLUGINS=orvo_bench_probe", "ORVO_BENCH_PROBE_OUT=" + stamp};
  if (aAnyWindow) {
    env.emplace_back("ORVO_BENCH_PROBE_ANY=1");
  }
  double peakMb = 0;
  for (auto _ : aState) {
    std::remove(stamp.c_str());
    const double start = NowNs();
    const orvo::bench::ChildResult result = orvo::bench::Run({aExe}, env);
    double shown = 0;
    std::ifstream(stamp) >> shown;
    if (result.exitCode != 0 || shown <= start) {
      aState.SkipWithError("the program did not show its window");
      break;
    }
    aState.SetIterationTime((shown - start) / 1e9);
    peakMb = std::max(peakMb, static_cast<double>(result.peakRssKb) / 1024.0);
  }
  aState.counters["peak_rss_MB"] = peakMb;
}

void StartupOurs(benchmark::State& aState) {
  StartUntilShown(aState, ORVO_IMPORTER_EXE, false);
}
BENCHMARK(StartupOurs)->Name("startup/ours")->Unit(benchmark::kMillisecond)->UseManualTime();

void StartupQtFloor(benchmark::State& aState) {
  StartUntilShown(aState, ORVO_QT_FLOOR_EXE, true);
}
BENCHMARK(StartupQtFloor)->Name("startup/qt-floor")->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

BENCHMARK_MAIN();

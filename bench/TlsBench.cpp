// Cost of one whole loopback TLS self-test with an RSA 2048 certificate:
// server context, listener, TCP connect, client context, handshake,
// disconnect and stop. The goal is a few milliseconds, far below the
// client's 125 ms connect tick. Writing the staged files is not timed.

#include "support/TestPki.h"
#include "tls/LoopbackTlsTest.h"
#include "tls/PortLock.h"

#include <benchmark/benchmark.h>

#include <ctime>

namespace {

void WriteStagedFiles(const std::string& aDataPath, const orvo::test::TestCert& aServer) {
  auto& pki = orvo::test::TestPki::instance();
  orvo::test::writeCertPem(aDataPath + "orvo.crt", aServer);
  orvo::test::writeCertsPem(aDataPath + "root.pem", {pki.intermediate(), pki.root()});
  orvo::test::writeKey(aDataPath + "orvo.key", aServer, orvo::test::KeyFormat::PemPkcs8);
}

// CPU time of every thread of the process: the server's connection thread
// does half of the handshake, which the benchmark's own CPU time misses.
double ProcessCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void BM_VerifySSLConnectionIsPossible(benchmark::State& aState) {
  const orvo::test::TPortLock portLock; // no test may hold the port meanwhile
  const orvo::test::TempDir data;
  const orvo::test::TempDir program;
  const std::string dataPath = data.path().string() + "/";
  const orvo::test::TestCert server = orvo::test::TestPki::instance().server();
  orvo::TLoopbackTlsTest test(program.path());
  double cpu = 0;
  for (auto _ : aState) {
    aState.PauseTiming();
    WriteStagedFiles(dataPath, server);
    aState.ResumeTiming();
    const double before = ProcessCpuMilliseconds();
    std::vector<std::string> reasons;
    if (!test.VerifySSLConnectionIsPossible(dataPath, reasons)) {
      aState.SkipWithError(reasons.empty() ? "failed" : reasons.front().c_str());
      break;
    }
    cpu += ProcessCpuMilliseconds() - before;
  }
  aState.counters["all_threads_cpu_ms"] =
      benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_VerifySSLConnectionIsPossible)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

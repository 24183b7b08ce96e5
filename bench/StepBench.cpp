// The work a person waits for in the wizard, each beside the OpenSSL command
// line doing the same work on the same files:
//  - the machine store read and filtered as step 1 does it, for a tree of
//    1,000 server certificates (the stock CA folder is in orvo_bench_store;
//    its OpenSSL peer is here);
//  - the folder scan of step 1's check over 10, 100 and 1,000 certificates
//    with 10 and 100 key files;
//  - the verification of step 3 (key-pair proof, export of the three files,
//    loopback TLS handshake, clean-up) for RSA 2048 and 4096, ECDSA P-256
//    ("ecdsa:256") and Ed25519 ("ed:25519").
// Our side runs the real step operations of the wizard window offscreen.
// Names end in "/ours" or "/openssl"; scripts/bench pairs them by the rest.

#include "BenchSupport.h"

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "support/ScriptedModalUi.h"
#include "tls/OpenSSLBinding.h"
#include "tls/PortLock.h"
#include "ui/FrmSelectCertificate.h"
#include "wizard/ProductSteps.h"
#include "wizard/SSLCertImporterMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QRadioButton>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

namespace {

using namespace orvo;
using bench::Folders;

const int kCertCounts[] = {10, 100, 1000};
const int kKeyCounts[] = {10, 100};

// The wizard window with the product's steps, offscreen, on a machine store
// and registry of its own; the modal seam answers Yes to warning questions.
struct Wizard {
  explicit Wizard(const std::string& aMachineStore) {
    ::setenv("ORVO_MACHINE_STORE", aMachineStore.c_str(), 1);
    ::setenv("ORVO_USER_NSSDB", (Folders::instance().Root() / "no-nssdb").c_str(), 1);
    ::setenv("ORVO_REGISTRY_FILE", (Folders::instance().Root() / "hklm.reg").c_str(), 1);
    std::filesystem::create_directories(exe.path());
    StepEnvironment env;
    env.loadOpenSSL = [] { return EnsureOpenSSLLoaded(); };
    env.versionText = [] { return QStringLiteral("Version v1.0.0 build 1"); };
    steps = std::make_unique<ProductSteps>(env);
    window = std::make_unique<TCertImportWizardMain>(*steps, modal,
                                                     QString::fromStdString(exe.path().string()));
    window->show();
  }
  ~Wizard() {
    window.reset();
    steps.reset();
  }
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  // Step 1's check with the folder source.
  bool CheckFolder(const std::filesystem::path& aFolder) {
    window->fFrameSelectCert->EdtDir->setText(QString::fromStdString(aFolder.string()));
    window->fFrameSelectCert->RBDir->setChecked(true);
    modal.calls.clear();
    return steps->CheckCertificateSource(*window);
  }

  test::TempDir exe;
  test::ScriptedModalUi modal;
  std::unique_ptr<ProductSteps> steps;
  std::unique_ptr<TCertImportWizardMain> window;
};

// CPU time of every thread of the process: the loopback server's connection
// thread does half of the handshake.
double ProcessCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// ---- Machine store ---------------------------------------------------------

void MachineStoreTreeOurs(benchmark::State& aState) {
  const std::string tree = Folders::instance().ServerTree();
  const test::TempDir data;
  ::setenv("ORVO_MACHINE_STORE", tree.c_str(), 1);
  ::setenv("ORVO_USER_NSSDB", (Folders::instance().Root() / "no-nssdb").c_str(), 1);
  TOrvoCertStore store(data.path().string());
  for (auto _ : aState) {
    aState.counters["usable"] = store.ReadCertificatesFromStore();
  }
}
BENCHMARK(MachineStoreTreeOurs)
    ->Name("machine_store_1000_tree/ours")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void PurposeOverFiles(benchmark::State& aState, const std::vector<std::string>& aFiles) {
  for (auto _ : aState) {
    for (const std::string& file : aFiles) {
      benchmark::DoNotOptimize(
          bench::Run({bench::OpensslExe(), "x509", "-noout", "-purpose", "-in", file}));
    }
  }
  aState.counters["files"] = static_cast<double>(aFiles.size());
}

void MachineStoreTreeOpenssl(benchmark::State& aState) {
  PurposeOverFiles(aState, Folders::instance().ServerTreeCertFiles());
}
BENCHMARK(MachineStoreTreeOpenssl)
    ->Name("machine_store_1000_tree/openssl")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3); // 1,000 processes a run: three runs tell enough

// Every distinct file of the stock CA folder (links to one file once), as
// the store reads them.
void MachineStoreStockOpenssl(benchmark::State& aState) {
  PurposeOverFiles(aState, bench::DistinctFiles("/etc/ssl/certs"));
}
BENCHMARK(MachineStoreStockOpenssl)
    ->Name("machine_store_stock/openssl")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- Folder scan of step 1 -------------------------------------------------

void FolderScanOurs(benchmark::State& aState) {
  const auto& folder = Folders::instance().Scan(static_cast<int>(aState.range(0)),
                                                static_cast<int>(aState.range(1)));
  const std::string empty = Folders::instance().Empty().string();
  for (auto _ : aState) {
    aState.PauseTiming();
    auto wizard = std::make_unique<Wizard>(empty);
    aState.ResumeTiming();
    if (!wizard->CheckFolder(folder) || !wizard->window->fCertHasPrivateKey) {
      aState.SkipWithError("the folder check did not find the certificate with its key");
      break;
    }
    aState.PauseTiming();
    wizard.reset();
    aState.ResumeTiming();
  }
}

// The same work with the command line: one `openssl verify` over every
// certificate file (loading, server purpose, chain) and one `openssl pkey`
// per key file (reading it and its public half, which the key search
// compares).
void FolderScanOpenssl(benchmark::State& aState) {
  const auto& folder = Folders::instance().Scan(static_cast<int>(aState.range(0)),
                                                static_cast<int>(aState.range(1)));
  std::vector<std::string> verify = {bench::OpensslExe(), "verify",
                                     "-purpose",          "sslserver",
                                     "-CAfile",           (folder / "root.crt").string(),
                                     "-untrusted",        (folder / "intermediate.crt").string()};
  std::vector<std::string> keys;
  for (const std::string& file : bench::DistinctFiles(folder.string())) {
    if (file.ends_with(".key")) {
      keys.push_back(file);
    } else if (!file.ends_with("root.crt") && !file.ends_with("intermediate.crt")) {
      verify.push_back(file);
    }
  }
  for (auto _ : aState) {
    if (bench::Run(verify).exitCode != 0) {
      aState.SkipWithError("openssl verify failed");
      break;
    }
    for (const std::string& key : keys) {
      benchmark::DoNotOptimize(
          bench::Run({bench::OpensslExe(), "pkey", "-in", key, "-pubout", "-noout"}));
    }
  }
}

void FolderScanArgs(benchmark::internal::Benchmark* aBench) {
  aBench->ArgNames({"certs", "keys"});
  for (const int certs : kCertCounts) {
    for (const int keys : kKeyCounts) {
      aBench->Args({certs, keys});
    }
  }
}
BENCHMARK(FolderScanOurs)
    ->Name("folder_scan/ours")
    ->Apply(FolderScanArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(FolderScanOpenssl)
    ->Name("folder_scan/openssl")
    ->Apply(FolderScanArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- Verification of step 3 ------------------------------------------------

void VerificationOurs(benchmark::State& aState) {
  const auto& folder = Folders::instance().Verification(static_cast<int>(aState.range(0)));
  Wizard wizard(Folders::instance().Empty().string());
  if (!wizard.CheckFolder(folder) || !wizard.window->fCertHasPrivateKey) {
    aState.SkipWithError("step 1 did not take the certificate with its key");
    return;
  }
  const test::TPortLock portLock; // no test may hold the port meanwhile
  double cpu = 0;
  for (auto _ : aState) {
    const double before = ProcessCpuMilliseconds();
    const bool verified = wizard.steps->ShowStepVerifyCertificate(*wizard.window);
    cpu += ProcessCpuMilliseconds() - before;
    if (!verified) {
      const auto shown = wizard.modal.CallsOf(test::ModalCall::What::ErrorDetail);
      aState.SkipWithError(shown.empty() ? "the verification failed"
                                         : shown.back().detail.toUtf8().constData());
      break;
    }
  }
  // The wall time waits for the disk and, on a busy machine, for a core; the
  // CPU time of all threads is what the work itself costs.
  aState.counters["all_threads_cpu_ms"] =
      benchmark::Counter(cpu, benchmark::Counter::kAvgIterations);
}
BENCHMARK(VerificationOurs)
    ->Name("step3_verification/ours")
    ->ArgName("rsa")
    ->Arg(2048)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationOurs)
    ->Name("step3_verification/ours")
    ->ArgName("ecdsa")
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationOurs)
    ->Name("step3_verification/ours")
    ->ArgName("ed")
    ->Arg(25519)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A server that takes one connection and a client that connects and hangs
// up, with the files the verification step writes. In -www mode the server
// waits for the client's request instead of its own standard input.
void VerificationOpenssl(benchmark::State& aState) {
  const auto& folder = Folders::instance().Verification(static_cast<int>(aState.range(0)));
  for (auto _ : aState) {
    const std::string port = std::to_string(bench::FreeLoopbackPort());
    bench::Child server({bench::OpensslExe(), "s_server", "-accept", "127.0.0.1:" + port,
                         "-naccept", "1", "-www", "-cert", (folder / "orvo.crt").string(), "-key",
                         (folder / "orvo.key").string(), "-CAfile",
                         (folder / "root.pem").string()});
    if (!server.WaitForLine("ACCEPT")) {
      aState.SkipWithError("openssl s_server did not start");
      break;
    }
    if (bench::Run({bench::OpensslExe(), "s_client", "-connect", "127.0.0.1:" + port, "-brief"})
            .exitCode != 0) {
      aState.SkipWithError("openssl s_client failed");
      break;
    }
    (void)server.Wait();
  }
}
BENCHMARK(VerificationOpenssl)
    ->Name("step3_verification/openssl")
    ->ArgName("rsa")
    ->Arg(2048)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationOpenssl)
    ->Name("step3_verification/openssl")
    ->ArgName("ecdsa")
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationOpenssl)
    ->Name("step3_verification/openssl")
    ->ArgName("ed")
    ->Arg(25519)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The parts of our verification, to see where its time goes (the loopback
// test alone is orvo_bench_tls).
void VerificationPartsOurs(benchmark::State& aState) {
  const auto& folder = Folders::instance().Verification(static_cast<int>(aState.range(0)));
  const test::TempDir data;
  const std::string dataPath = data.path().string() + "/";
  TOrvoCertStore store(dataPath);
  TOrvoSSLCertificateValidator validator;
  std::unique_ptr<TOrvoStoreCertificate> cert;
  if (!store.createCertFromFile((folder / "server.pem").string(), cert) ||
      !validator.ReadPKFromFile((folder / "server.key").string())) {
    aState.SkipWithError("certificate or key not read");
    return;
  }
  const std::shared_ptr<TOrvoSSLPrivateKey> key = validator.PK();
  double proof = 0;
  double exportFiles = 0;
  for (auto _ : aState) {
    auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(validator.CheckPKMatchesCert(cert.get(), key.get()));
    auto middle = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(store.ExportCertificateAndChain(dataPath, *cert));
    benchmark::DoNotOptimize(key->SaveOrvoKeyFile(dataPath + "orvo.key"));
    auto end = std::chrono::steady_clock::now();
    proof += std::chrono::duration<double, std::milli>(middle - start).count();
    exportFiles += std::chrono::duration<double, std::milli>(end - middle).count();
  }
  aState.counters["key_pair_proof_ms"] =
      benchmark::Counter(proof, benchmark::Counter::kAvgIterations);
  aState.counters["export_ms"] =
      benchmark::Counter(exportFiles, benchmark::Counter::kAvgIterations);
}
BENCHMARK(VerificationPartsOurs)
    ->Name("step3_parts/ours")
    ->ArgName("rsa")
    ->Arg(2048)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationPartsOurs)
    ->Name("step3_parts/ours")
    ->ArgName("ecdsa")
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(VerificationPartsOurs)
    ->Name("step3_parts/ours")
    ->ArgName("ed")
    ->Arg(25519)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  orvo::UnloadOpenSSL();
  return 0;
}

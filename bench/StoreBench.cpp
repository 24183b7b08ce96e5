// Speed of the certificate store's two folder readers: the machine store over
// the system's CA folder, and the key search of the folder source over a
// folder of many certificates and keys.

#include "certs/OrvoCertStore.h"
#include "certs/OrvoCertificate.h"
#include "certs/OrvoSSLCertificateValidator.h"
#include "certs/OrvoSSLPrivateKey.h"
#include "certs/StoreSources.h"
#include "support/TestPki.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using namespace orvo;

// The stock CA folder (about 150 certificates behind 300 links and a bundle);
// the goal is well under 100 ms.
void BM_ReadMachineStoreSystemFolder(benchmark::State& state) {
  ::setenv("ORVO_MACHINE_STORE", "/etc/ssl/certs", 1);
  for (auto _ : state) {
    ck::CertList certs;
    benchmark::DoNotOptimize(ck::ReadMachineStore(certs));
    state.counters["certificates"] = static_cast<double>(certs.size());
  }
  ::unsetenv("ORVO_MACHINE_STORE");
}
BENCHMARK(BM_ReadMachineStoreSystemFolder)->Unit(benchmark::kMillisecond);

// The same folder as the wizard reads it: every certificate wrapped with its
// facts and checked against the server's requirements.
void BM_ReadCertificatesFromStoreSystemFolder(benchmark::State& state) {
  ::setenv("ORVO_MACHINE_STORE", "/etc/ssl/certs", 1);
  ::setenv("ORVO_USER_NSSDB", "/nonexistent", 1);
  const test::TempDir dir;
  TOrvoCertStore store(dir.path().string());
  for (auto _ : state) {
    state.counters["usable"] = store.ReadCertificatesFromStore();
  }
  ::unsetenv("ORVO_MACHINE_STORE");
  ::unsetenv("ORVO_USER_NSSDB");
}
BENCHMARK(BM_ReadCertificatesFromStoreSystemFolder)->Unit(benchmark::kMillisecond);

// n certificates and the keys of all of them in one folder; the list is in
// reverse order of the keys, so the answer is the last key found. The proof
// runs once per certificate whose public key has a key in the folder.
void BM_FindMatchingPKinDir(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto& pki = test::TestPki::instance();
  const test::TempDir dir;
  TOrvoCertList certs;
  for (int i = 0; i < n; ++i) {
    test::CertSpec certSpec;
    certSpec.commonName = "bench" + std::to_string(i) + ".test.local";
    certSpec.keyBits = 1024;
    certSpec.keySlot = 100 + i;
    const test::TestCert cert = pki.issue(certSpec);
    test::writeKey(dir / ("k" + std::to_string(i) + ".key"), cert, test::KeyFormat::PemRsa);
    test::writeCertPem(dir / ("c" + std::to_string(i) + ".pem"), cert);
    auto handle = std::make_unique<ck::CkCert>();
    if (!handle->LoadFromDer(test::certDer(cert))) {
      state.SkipWithError("certificate not loaded");
      return;
    }
    certs.insert(certs.begin(), std::make_unique<TOrvoStoreCertificate>(std::move(handle)));
  }
  TOrvoSSLCertificateValidator validator;
  for (auto _ : state) {
    TOrvoStoreCertificate* found = nullptr;
    std::shared_ptr<TOrvoSSLPrivateKey> key;
    benchmark::DoNotOptimize(validator.FindMatchingPKinDir(dir.path().string(), certs, found, key));
  }
}
BENCHMARK(BM_FindMatchingPKinDir)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

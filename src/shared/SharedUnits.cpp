#include "shared/SharedUnits.h"

#include "shared/KavRegistry.h"
#include "shared/StartupSequence.h"
#include "shared/SyncLog.h"
#include "system/CertFileVersion.h"
#include "tls/CryptoPreload.h"

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace orvo {

namespace {

std::filesystem::path ProgramFolder(const SharedUnitsConfig& config) {
  if (!config.programFolder.empty()) {
    return config.programFolder;
  }
  return std::filesystem::path(RunningExecutablePath()).parent_path();
}

std::mutex gRunningLock;
std::unique_ptr<StartupSequence> gRunning;

} // namespace

void StartupSequence::Start() {
  for (; started_ < steps_.size(); ++started_) {
    const auto& step = steps_[started_];
    if (!step.start) {
      continue;
    }
    try {
      step.start();
    } catch (const std::exception& e) {
      Finish();
      if (step.errorPrefix.empty()) {
        throw;
      }
      throw std::runtime_error(step.errorPrefix + e.what());
    }
  }
}

void StartupSequence::Finish() noexcept {
  while (started_ > 0) {
    const auto& step = steps_[--started_];
    if (step.finish) {
      step.finish();
    }
  }
}

std::vector<StartupStep> SharedUnitSteps(const SharedUnitsConfig& config) {
  const auto folder = ProgramFolder(config);
  std::vector<StartupStep> steps;
  // The time-zone units read the Windows time-zone database into tables that
  // nothing in this program consults; the entry keeps their place in the
  // order and the prefix their errors carry.
  steps.push_back({"KavTimezone", "init KavTimezone: ", {}, {}});
  // KavCrypto: pre-loads the OpenSSL crypto library from the program folder,
  // which decides the copy of libcrypto the TLS self-test gets later. The
  // component holds the library until shut-down. A missing or unusable
  // library leaves the start-up unaffected.
  auto crypto = std::make_shared<std::unique_ptr<TOpenSSLSigningComponent>>();
  steps.push_back({"KavCrypto", "", [folder, crypto] { *crypto = PreloadCryptoLibrary(folder); },
                   [crypto] { crypto->reset(); }});
  // The server globals (product name, folder names, helper libraries) are
  // likewise never read here; the entry carries the prefix of their errors.
  steps.push_back({"Globals", "Init Globals: ", {}, {}});
  steps.push_back(
      {"KavRegistry", "", [] { kavregistry::Initialize(); }, [] { kavregistry::Finalize(); }});
  steps.push_back(
      {"synclog", "", [folder] { synclog::Initialize(folder); }, [] { synclog::Finalize(); }});
  return steps;
}

void InitSharedUnits(const SharedUnitsConfig& config) {
  std::lock_guard lock(gRunningLock);
  if (gRunning) {
    return; // every unit starts once per process
  }
  auto sequence = std::make_unique<StartupSequence>(SharedUnitSteps(config));
  sequence->Start();
  gRunning = std::move(sequence);
}

void FinalizeSharedUnits() noexcept {
  std::unique_ptr<StartupSequence> sequence;
  {
    std::lock_guard lock(gRunningLock);
    sequence.swap(gRunning);
  }
  if (sequence) {
    sequence->Finish();
  }
}

} // namespace orvo

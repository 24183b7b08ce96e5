#pragma once
// Start-up and shut-down of the server product's shared units that are built
// into the importer. main() calls InitSharedUnits() before anything else and
// FinalizeSharedUnits() after the main window is gone (SharedUnitsScope does
// both). Of the units' start-up code only the parts with an effect outside the
// process are carried out: the crypto library pre-load, the registry facade's
// choice between registry and file mode, and the debug log writer.

#include <filesystem>

namespace orvo {

struct SharedUnitsConfig {
  // Folder of the running program (log file, crypto library pre-load); empty
  // means the folder of /proc/self/exe. Tests point it at a scratch folder.
  std::filesystem::path programFolder;
};

// Runs every unit's start-up once, in order. Throws std::runtime_error (or
// ERegistryException) with the message to show when a unit cannot start; the
// units that had started are shut down again before the error leaves. The
// program then ends without showing its window.
void InitSharedUnits(const SharedUnitsConfig& config = {});

// Shuts the started units down in reverse order (stops and joins the log
// writer). Safe to call more than once and without a prior start.
void FinalizeSharedUnits() noexcept;

// RAII form for main(): starts in the constructor, shuts down in the destructor.
class SharedUnitsScope {
public:
  explicit SharedUnitsScope(const SharedUnitsConfig& config = {}) { InitSharedUnits(config); }
  ~SharedUnitsScope() { FinalizeSharedUnits(); }
  SharedUnitsScope(const SharedUnitsScope&) = delete;
  SharedUnitsScope& operator=(const SharedUnitsScope&) = delete;
};

} // namespace orvo

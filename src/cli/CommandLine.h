#pragma once
// The command line of orvo-cert-importer, a second front end on top of the
// import core beside the wizard's window:
//
//   orvo-cert-importer check   SOURCE [--key FILE] [options]   checks and TLS test, writes nothing
//   orvo-cert-importer install SOURCE [--key FILE] [options]   checks, test, Finish, restart
//   orvo-cert-importer --help | --version
//
// It runs under a QCoreApplication only: no platform plugin, no display, no
// widget is ever created. Exit codes: 0 done, 1 usage, 2 refused, 3 warnings
// without --accept-warnings, 4 files not written, 5 service not running after
// the restart.

#include "cli/Report.h"
#include "core/CertImportCore.h"

#include <optional>

namespace orvo::cli {

enum ExitCode : int {
  kExitDone = 0,
  kExitUsage = 1,
  kExitRefused = 2,
  kExitWarnings = 3,
  kExitNotWritten = 4,
  kExitServiceFailed = 5,
};

// True when the arguments ask for the command line; no arguments start the
// wizard.
bool WantsCommandLine(int argc, char** argv);

// What tests replace: the machine's parts of the core, the journal, and
// whether the terminal may be asked for a passphrase.
struct CliSeams {
  std::optional<core::ImportEnvironment> environment; // nothing: the product's
  JournalSink journal = SendToJournal;
  bool terminalAllowed = true;
  bool startSharedUnits = true;
};

// Runs the command line to its end and returns the exit code. Makes its own
// QCoreApplication; never throws.
int RunCommandLine(int argc, char** argv, const CliSeams& aSeams = {});

} // namespace orvo::cli

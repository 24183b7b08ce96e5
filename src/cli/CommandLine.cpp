#include "cli/CommandLine.h"

#include "certs/OrvoCertificate.h"
#include "cli/CliInteraction.h"
#include "core/CoreText.h"
#include "files/BoundedRead.h"
#include "shared/SharedUnits.h"
#include "system/CertFileVersion.h"
#include "tls/OpenSSLBinding.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace orvo::cli {

namespace {

const char* const kHelp =
    "Usage:\n"
    "  orvo-cert-importer                                    the wizard\n"
    "  orvo-cert-importer check   SOURCE [--key FILE] [options]\n"
    "                             checks and loopback TLS test, writes nothing\n"
    "  orvo-cert-importer install SOURCE [--key FILE] [options]\n"
    "                             checks, test, installation, service restart\n"
    "  orvo-cert-importer --help | --version\n"
    "\n"
    "SOURCE (without one: the folder named by RENEWED_LINEAGE):\n"
    "  --cert FILE             certificate file: PEM, DER, PKCS#7 or a bundle with its chain\n"
    "  --pkcs12 FILE           PKCS#12 file with certificate, chain and key\n"
    "  --dir FOLDER            folder of certificate files and key (an ACME live folder)\n"
    "  --key FILE              the private key, when the source does not bring it\n"
    "\n"
    "Options:\n"
    "  --passphrase-file FILE  passphrase on the first line (else ORVO_PASSPHRASE,\n"
    "                          else asked on the terminal)\n"
    "  --target FOLDER         where to install (default: the server's certificate folder)\n"
    "  --restart=auto|yes|no   restart the server's service (auto: when installed into\n"
    "                          the server's folder)\n"
    "  --accept-warnings       install a certificate that has warnings\n"
    "  --json                  one JSON document on standard output\n"
    "  --quiet                 print nothing but errors and warnings\n"
    "\n"
    "Exit status: 0 done, 1 usage, 2 refused, 3 warnings without --accept-warnings,\n"
    "4 files not written, 5 service not running after the restart.\n";

struct Options {
  QString command;
  core::CertificateSource source;
  QString keyFile;
  std::optional<QString> passphraseFile;
  QString target;
  RestartPolicy restart = RestartPolicy::Auto;
  bool acceptWarnings = false;
  bool json = false;
  bool quiet = false;
};

void PrintUsageError(const QString& aText) {
  std::fprintf(stderr, "%s\nTry 'orvo-cert-importer --help'.\n", aText.toLocal8Bit().constData());
}

// Parses the arguments; nothing after a usage error was printed. Help and
// version are answered here (aDone set).
std::optional<Options> ParseOptions(const QStringList& aArguments, bool& aDone) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption cert(QStringLiteral("cert"), {}, QStringLiteral("FILE"));
  const QCommandLineOption pkcs12(QStringLiteral("pkcs12"), {}, QStringLiteral("FILE"));
  const QCommandLineOption dir(QStringLiteral("dir"), {}, QStringLiteral("FOLDER"));
  const QCommandLineOption key(QStringLiteral("key"), {}, QStringLiteral("FILE"));
  const QCommandLineOption passFile(QStringLiteral("passphrase-file"), {}, QStringLiteral("FILE"));
  const QCommandLineOption target(QStringLiteral("target"), {}, QStringLiteral("FOLDER"));
  const QCommandLineOption restart(QStringLiteral("restart"), {}, QStringLiteral("WHEN"),
                                   QStringLiteral("auto"));
  const QCommandLineOption accept(QStringLiteral("accept-warnings"));
  const QCommandLineOption json(QStringLiteral("json"));
  const QCommandLineOption quiet(QStringLiteral("quiet"));
  const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
  const QCommandLineOption version(QStringLiteral("version"));
  parser.addOptions(
      {cert, pkcs12, dir, key, passFile, target, restart, accept, json, quiet, help, version});
  if (!parser.parse(aArguments)) {
    PrintUsageError(parser.errorText());
    return std::nullopt;
  }
  if (parser.isSet(help)) {
    std::fputs(kHelp, stdout);
    aDone = true;
    return std::nullopt;
  }
  if (parser.isSet(version)) {
    std::printf("orvo-cert-importer %s\n", VersionLabelText().c_str());
    aDone = true;
    return std::nullopt;
  }
  Options options;
  const QStringList positional = parser.positionalArguments();
  if (positional.size() != 1 ||
      (positional[0] != QLatin1String("check") && positional[0] != QLatin1String("install"))) {
    PrintUsageError(positional.isEmpty()
                        ? QStringLiteral("A command is missing: check or install.")
                        : QStringLiteral("Unknown command: %1").arg(positional.join(' ')));
    return std::nullopt;
  }
  options.command = positional[0];
  for (const QCommandLineOption* single :
       {&cert, &pkcs12, &dir, &key, &passFile, &target, &restart}) {
    if (parser.values(*single).size() > 1) {
      PrintUsageError(QStringLiteral("--%1 is given more than once.").arg(single->names()[0]));
      return std::nullopt;
    }
  }
  const int sources = int(parser.isSet(cert)) + int(parser.isSet(pkcs12)) + int(parser.isSet(dir));
  if (sources > 1) {
    PrintUsageError(QStringLiteral("Give one source only: --cert, --pkcs12 or --dir."));
    return std::nullopt;
  }
  if (parser.isSet(cert)) {
    options.source.kind = core::SourceKind::File;
    options.source.path = parser.value(cert);
  } else if (parser.isSet(pkcs12)) {
    options.source.kind = core::SourceKind::Pkcs12;
    options.source.path = parser.value(pkcs12);
  } else {
    options.source.kind = core::SourceKind::Folder;
    options.source.path =
        parser.isSet(dir) ? parser.value(dir) : qEnvironmentVariable("RENEWED_LINEAGE");
    if (options.source.path.isEmpty()) {
      PrintUsageError(QStringLiteral(
          "No certificate source: give --cert, --pkcs12 or --dir, or set RENEWED_LINEAGE."));
      return std::nullopt;
    }
  }
  const QString when = parser.value(restart);
  if (when == QLatin1String("auto")) {
    options.restart = RestartPolicy::Auto;
  } else if (when == QLatin1String("yes")) {
    options.restart = RestartPolicy::Yes;
  } else if (when == QLatin1String("no")) {
    options.restart = RestartPolicy::No;
  } else {
    PrintUsageError(QStringLiteral("--restart takes auto, yes or no, not '%1'.").arg(when));
    return std::nullopt;
  }
  options.keyFile = parser.value(key);
  if (parser.isSet(passFile)) {
    options.passphraseFile = parser.value(passFile);
  }
  options.target = parser.value(target);
  options.acceptWarnings = parser.isSet(accept);
  options.json = parser.isSet(json);
  options.quiet = parser.isSet(quiet);
  return options;
}

// The first line of the passphrase file, without its line end.
std::optional<std::string> ReadPassphraseFile(const QString& aFile, QString& aError) {
  std::string content;
  const files::ReadResult read = files::ReadRegularFile(ToStd(aFile), content, {.maxSize = 65536});
  if (!read.Ok()) {
    aError =
        QStringLiteral("Could not read the passphrase file %1: %2").arg(aFile, ToQ(read.error));
    return std::nullopt;
  }
  const std::size_t end = content.find_first_of("\r\n");
  return content.substr(0, end);
}

QString ServiceWord(core::ServiceOutcome aOutcome) {
  switch (aOutcome) {
  case core::ServiceOutcome::NotOffered:
    return QStringLiteral("not-offered");
  case core::ServiceOutcome::NotFound:
    return QStringLiteral("not-found");
  case core::ServiceOutcome::Declined:
    return QStringLiteral("declined");
  case core::ServiceOutcome::Running:
    return QStringLiteral("running");
  case core::ServiceOutcome::TimedOut:
    return QStringLiteral("timed-out");
  case core::ServiceOutcome::NotRunning:
    return QStringLiteral("not-running");
  }
  return QStringLiteral("unknown");
}

// One run of check or install on the core; fills the report.
class CliRun {
public:
  CliRun(const Options& aOptions, const CliSeams& aSeams, CliInteraction& aInteraction,
         const QString& aDataPath)
      : fOptions(aOptions), fUi(aInteraction),
        fCore(aSeams.environment ? *aSeams.environment : core::ImportEnvironment::Product(),
              aInteraction, aDataPath) {
    fReport.command = aOptions.command;
    fReport.service = QStringLiteral("not-offered");
  }

  int Run() {
    const int code = RunSteps();
    fReport.exitCode = code;
    fReport.errors = fUi.Errors();
    fReport.warnings = fUi.Warnings();
    return code;
  }
  RunReport& Report() { return fReport; }

private:
  int RunSteps() {
    if (!fCore.StartupCheck()) {
      return kExitRefused;
    }
    (void)fCore.OpenStore();
    (void)fCore.ReadStore(); // the system's certificates help to build chains, as in the wizard
    const bool sourceOk = fCore.CheckCertificateSource(fOptions.source);
    NoteCertificate();
    if (!sourceOk) {
      if (fUi.WarningsDeclined()) {
        return kExitWarnings;
      }
      if (fUi.Errors().isEmpty()) {
        fUi.Error(QStringLiteral("No valid certificates could be found."));
      }
      return kExitRefused;
    }
    if (!fOptions.keyFile.isEmpty()) {
      if (!fCore.CheckPrivateKeySource({core::KeySourceKind::File, fOptions.keyFile})) {
        return kExitRefused;
      }
    } else if (!fCore.CertHasPrivateKey()) {
      fUi.Error(QStringLiteral(
          "No private key was found for the certificate; name its key file with --key."));
      return kExitRefused;
    }
    if (!fCore.VerifyCertificate()) {
      return kExitRefused; // the error detail carried the TLS layer's reasons
    }
    const bool unaccepted = !fCore.CertificateWarnings().empty() && !fOptions.acceptWarnings;
    if (fOptions.command == QLatin1String("check")) {
      if (unaccepted) {
        return kExitWarnings;
      }
      fUi.Note(QStringLiteral("Verification of certificate successful"));
      return kExitDone;
    }
    return Install();
  }

  int Install() {
    fReport.target = !fOptions.target.isEmpty() ? WithTrailingSeparator(fOptions.target)
                                                : fCore.OrvoCoreCertPath();
    if (fReport.target.isEmpty()) {
      fUi.Error(QStringLiteral("The server's installation was not found in the registry; name the "
                               "target folder with --target."));
      return kExitUsage;
    }
    core::InstallSettings settings;
    settings.folder = fReport.target;
    settings.backup = true;
    settings.restartAnyTarget = fOptions.restart == RestartPolicy::Yes;
    bool written = false;
    try {
      written = fCore.InstallCertificateFiles(settings);
    } catch (const std::exception& e) {
      // The service manager raises what systemd refused.
      fUi.Error(ToQ(e.what()));
      RecordInstall();
      fReport.service = QStringLiteral("failed");
      return fCore.LastInstall().written ? ServiceFailed() : kExitNotWritten;
    }
    RecordInstall();
    if (!written) {
      if (fUi.Errors().isEmpty()) {
        fUi.Error(QStringLiteral("Error writing the files to the directory ") + fReport.target);
      }
      return kExitNotWritten;
    }
    switch (fCore.LastInstall().service) {
    case core::ServiceOutcome::TimedOut:
    case core::ServiceOutcome::NotRunning:
      return ServiceFailed();
    case core::ServiceOutcome::NotFound:
      if (fOptions.restart == RestartPolicy::Yes) {
        fUi.Error(QStringLiteral("The service OrvoCoreService is not installed."));
        return ServiceFailed();
      }
      break;
    default:
      break;
    }
    return kExitDone;
  }

  int ServiceFailed() {
    QString text = QStringLiteral("The service did not run after the restart; the new files are "
                                  "left in place.");
    if (!fReport.backupFolder.isEmpty()) {
      text += QStringLiteral(" The previous files are in ") + fReport.backupFolder;
    }
    fUi.Error(text);
    return kExitServiceFailed;
  }

  void RecordInstall() {
    const core::InstallRecord& record = fCore.LastInstall();
    fReport.filesWritten = record.files;
    fReport.backupFolder = record.backupFolder;
    fReport.service = ServiceWord(record.service);
  }

  void NoteCertificate() {
    if (fCore.ProvidedCert() != nullptr) {
      fReport.certificate = ReadCertificateFacts(fCore.ProvidedCert()->Handle()._exportCertPem());
    }
  }

  const Options& fOptions;
  CliInteraction& fUi;
  core::TCertImportCore fCore;
  RunReport fReport;
};

int RunParsed(const Options& aOptions, const CliSeams& aSeams) {
  PassphraseSource passphrases;
  passphrases.terminalAllowed = aSeams.terminalAllowed;
  if (aOptions.passphraseFile) {
    QString error;
    passphrases.fromFile = ReadPassphraseFile(*aOptions.passphraseFile, error);
    if (!passphrases.fromFile) {
      PrintUsageError(error);
      return kExitUsage;
    }
  } else if (qEnvironmentVariableIsSet("ORVO_PASSPHRASE")) {
    passphrases.fromEnvironment = qEnvironmentVariable("ORVO_PASSPHRASE").toStdString();
  }
  CliInteraction ui(passphrases, aOptions.acceptWarnings,
                    aOptions.command == QLatin1String("check"), aOptions.restart,
                    aOptions.quiet || aOptions.json);
  // The TLS test's scratch copies of the key go into a private folder of
  // this run (mode 0700), removed at the end, whatever the program folder is.
  const QTemporaryDir scratch;
  if (!scratch.isValid()) {
    ui.Error(QStringLiteral("Could not create a scratch folder: ") + scratch.errorString());
    return kExitRefused;
  }
  CliRun run(aOptions, aSeams, ui, WithTrailingSeparator(scratch.path()));
  const int code = run.Run();
  if (aOptions.command == QLatin1String("install")) {
    // A journal that cannot be reached does not change the outcome.
    if (aSeams.journal) {
      (void)aSeams.journal(JournalFields(run.Report()));
    }
  }
  if (aOptions.json) {
    const QByteArray doc = QJsonDocument(ToJson(run.Report())).toJson(QJsonDocument::Indented);
    std::fwrite(doc.constData(), 1, static_cast<std::size_t>(doc.size()), stdout);
    std::fflush(stdout);
  }
  return code;
}

} // namespace

bool WantsCommandLine(int argc, char** argv) {
  (void)argv;
  return argc > 1;
}

int RunCommandLine(int argc, char** argv, const CliSeams& aSeams) {
  try {
    const QCoreApplication app(argc, argv);
    bool done = false;
    const std::optional<Options> options = ParseOptions(QCoreApplication::arguments(), done);
    if (!options) {
      return done ? kExitDone : kExitUsage;
    }
    std::unique_ptr<SharedUnitsScope> sharedUnits;
    if (aSeams.startSharedUnits) {
      try {
        sharedUnits = std::make_unique<SharedUnitsScope>();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return kExitRefused;
      }
    }
    const int code = RunParsed(*options, aSeams);
    sharedUnits.reset();
    UnloadOpenSSL();
    return code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitRefused;
  }
}

} // namespace orvo::cli

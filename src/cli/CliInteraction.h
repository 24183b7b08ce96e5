#pragma once
// The command line's side of the import core's interaction. There is no
// person to ask: questions are answered from the options, passphrases come
// from a file, the environment or the terminal, and every finding is printed
// with the wizard's text (errors and warnings on standard error, one a line)
// and kept for the JSON document.

#include "core/Interaction.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace orvo::cli {

enum class RestartPolicy { Auto, Yes, No };

// Where a needed passphrase comes from, in this order: the first line of
// the passphrase file, ORVO_PASSPHRASE, the terminal (without echo).
struct PassphraseSource {
  std::optional<std::string> fromFile; // read from --passphrase-file
  std::optional<std::string> fromEnvironment;
  bool terminalAllowed = true; // false in tests: act as if there were no terminal
};

// Reads a line from the controlling terminal without echo; nothing when the
// process has no terminal.
std::optional<std::string> ReadPassphraseFromTerminal(const std::string& aPrompt);

class CliInteraction : public core::Interaction {
public:
  CliInteraction(PassphraseSource aPassphrases, bool aAcceptWarnings, bool aContinueOnWarnings,
                 RestartPolicy aRestart, bool aQuiet, std::FILE* aOut = stdout,
                 std::FILE* aErr = stderr);

  core::PassphraseReply AskPassphrase(const std::string& aFileName, bool aWasWrong) override;
  core::MsgButton Ask(const core::Question& aQuestion) override;
  void Tell(const core::Notice& aNotice) override;
  void ShowErrorDetail(const core::ErrorDetail& aDetail) override;
  std::optional<int> ChooseCertificate(const QStringList& aLines) override;

  // A finding of the command line itself, printed and kept like the core's.
  void Error(const QString& aText);
  void Note(const QString& aText);

  const QStringList& Errors() const { return fErrors; }
  const QStringList& Warnings() const { return fWarnings; }
  bool WarningsDeclined() const { return fWarningsDeclined; }
  bool PassphraseRefused() const { return fPassphraseRefused; }

private:
  void PrintLines(std::FILE* aStream, const QString& aText, QStringList* aKept);

  PassphraseSource fPassphrases;
  bool fAcceptWarnings;
  bool fContinueOnWarnings;
  RestartPolicy fRestart;
  bool fQuiet;
  std::FILE* fOut;
  std::FILE* fErr;
  QStringList fErrors;
  QStringList fWarnings;
  bool fWarningsDeclined = false;
  bool fPassphraseRefused = false;
  int fTerminalTries = 0;
};

} // namespace orvo::cli

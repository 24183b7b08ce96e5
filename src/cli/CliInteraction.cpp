#include "cli/CliInteraction.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace orvo::cli {

namespace {

constexpr int kTerminalTries = 3;

QString Bare(const std::string& aFileName) {
  return aFileName.empty() ? QStringLiteral("the pasted text") : QString::fromStdString(aFileName);
}

} // namespace

std::optional<std::string> ReadPassphraseFromTerminal(const std::string& aPrompt) {
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  (void)::write(fd, aPrompt.data(), aPrompt.size());
  (void)::tcsetattr(fd, TCSAFLUSH, &quiet);
  std::string line;
  char c = 0;
  bool ended = false;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') {
      ended = true;
      break;
    }
    line.push_back(c);
  }
  (void)::tcsetattr(fd, TCSAFLUSH, &saved);
  ::close(fd);
  if (!ended && line.empty()) {
    return std::nullopt; // end of input: nothing typed
  }
  return line;
}

CliInteraction::CliInteraction(PassphraseSource aPassphrases, bool aAcceptWarnings,
                               bool aContinueOnWarnings, RestartPolicy aRestart, bool aQuiet,
                               std::FILE* aOut, std::FILE* aErr)
    : fPassphrases(std::move(aPassphrases)), fAcceptWarnings(aAcceptWarnings),
      fContinueOnWarnings(aContinueOnWarnings), fRestart(aRestart), fQuiet(aQuiet), fOut(aOut),
      fErr(aErr) {}

core::PassphraseReply CliInteraction::AskPassphrase(const std::string& aFileName, bool aWasWrong) {
  const std::optional<std::string> given =
      fPassphrases.fromFile ? fPassphrases.fromFile : fPassphrases.fromEnvironment;
  if (given) {
    // A passphrase from a file or the environment is tried once.
    if (aWasWrong) {
      fPassphraseRefused = true;
      Error(QStringLiteral("The passphrase for %1 is not valid.").arg(Bare(aFileName)));
      return {};
    }
    return {true, *given};
  }
  if (aWasWrong && fTerminalTries >= kTerminalTries) {
    fPassphraseRefused = true;
    Error(QStringLiteral("The passphrase for %1 is not valid.").arg(Bare(aFileName)));
    return {};
  }
  std::optional<std::string> typed;
  if (fPassphrases.terminalAllowed) {
    const std::string prompt =
        (aWasWrong ? "Wrong passphrase. Passphrase for " : "Passphrase for ") +
        Bare(aFileName).toStdString() + ": ";
    typed = ReadPassphraseFromTerminal(prompt);
  }
  if (!typed) {
    fPassphraseRefused = true;
    Error(QStringLiteral("%1 needs a passphrase, but there is no terminal to ask for it: give "
                         "--passphrase-file or ORVO_PASSPHRASE.")
              .arg(Bare(aFileName)));
    return {};
  }
  ++fTerminalTries;
  return {true, *typed};
}

core::MsgButton CliInteraction::Ask(const core::Question& aQuestion) {
  switch (aQuestion.topic) {
  case core::Topic::CertificateWarnings:
    for (const std::string& line : aQuestion.findings) {
      PrintLines(fErr, QString::fromStdString(line), &fWarnings);
    }
    if (fAcceptWarnings || fContinueOnWarnings) {
      return core::MbYes;
    }
    fWarningsDeclined = true;
    return core::MbCancel;
  case core::Topic::CreateTargetFolder:
    return core::MbYes; // the folder was named on the command line
  case core::Topic::RestartService:
  case core::Topic::StartService:
    return fRestart == RestartPolicy::No ? core::MbNo : core::MbYes;
  case core::Topic::RestoreBackup:
    // The server ran with the previous files: without a person to ask, the
    // command line brings it back to them.
    PrintLines(fErr, aQuestion.text, &fWarnings);
    return core::MbYes;
  default:
    break; // a question the command line has no option for is declined
  }
  return core::MbNo;
}

void CliInteraction::Tell(const core::Notice& aNotice) {
  if (aNotice.kind == core::MsgKind::Error || aNotice.kind == core::MsgKind::Warning) {
    PrintLines(fErr, aNotice.text, aNotice.kind == core::MsgKind::Error ? &fErrors : &fWarnings);
  } else {
    Note(aNotice.text);
  }
}

void CliInteraction::ShowErrorDetail(const core::ErrorDetail& aDetail) {
  PrintLines(fErr, aDetail.errorText, &fErrors);
  for (const std::string& reason : aDetail.reasons) {
    PrintLines(fErr, QString::fromStdString(reason), &fErrors);
  }
}

std::optional<int> CliInteraction::ChooseCertificate(const QStringList& aLines) {
  Error(QStringLiteral("The folder holds %1 certificates and none has its key beside it; name "
                       "one with --cert.")
            .arg(aLines.size()));
  for (const QString& line : aLines) {
    PrintLines(fErr, line, &fErrors);
  }
  return std::nullopt;
}

void CliInteraction::Error(const QString& aText) {
  PrintLines(fErr, aText, &fErrors);
}

void CliInteraction::Note(const QString& aText) {
  if (!fQuiet) {
    PrintLines(fOut, aText, nullptr);
  }
}

// A text of the wizard may hold CR LF line breaks: each line is printed on its
// own, blank ones dropped.
void CliInteraction::PrintLines(std::FILE* aStream, const QString& aText, QStringList* aKept) {
  QString text = aText;
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    if (aStream != nullptr) {
      std::fprintf(aStream, "%s\n", line.toLocal8Bit().constData());
    }
    if (aKept != nullptr) {
      aKept->append(line);
    }
  }
  if (aStream != nullptr) {
    std::fflush(aStream);
  }
}

} // namespace orvo::cli

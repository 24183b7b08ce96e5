#pragma once
// How the import core talks to the person running it. The core decides; a
// front end shows: the window turns each call into its modal dialogs and page
// updates, the command line into lines on the terminal and answers from its
// options. Every text is the core's, so both front ends say the same thing.

#include "core/MessageKinds.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvo::core {

// What a question is about, so that a front end without a person (the
// command line) can answer it from its options.
enum class Topic {
  CertificateWarnings, // proceed although the certificate has warnings?
  CreateTargetFolder,  // create the missing target folder?
  RestartService,      // restart the running server service?
  StartService,        // start the stopped server service?
  RestoreBackup,       // put the previous files back after the service failed to start?
};

struct Question {
  Question(Topic aTopic, MsgKind aKind, QString aText, MsgButtons aButtons,
           std::vector<std::string> aFindings = {})
      : topic(aTopic), kind(aKind), text(std::move(aText)), buttons(aButtons),
        findings(std::move(aFindings)) {}

  Topic topic;
  MsgKind kind;
  QString text;
  MsgButtons buttons;
  std::vector<std::string> findings; // the warning lines the text lists, if any
};

// A message that only needs to be read.
struct Notice {
  Notice(MsgKind aKind, QString aText, MsgButtons aButtons = MbOk)
      : kind(aKind), text(std::move(aText)), buttons(aButtons) {}

  MsgKind kind;
  QString text;
  MsgButtons buttons;
};

// A refusal with its reasons: header, one-line error text, and the reasons as
// shown (detailText) and one by one (reasons).
struct ErrorDetail {
  QString header;
  QString errorText;
  QString detailText;
  std::vector<std::string> reasons;
};

struct PassphraseReply {
  bool given = false; // false: the person declined, the load is abandoned
  std::string password;
};

// The checks of the verification, in the order they run.
enum class CheckStage { KeyPair, TlsConnection };
enum class CheckState { Pending, Passed, Failed };

class Interaction {
public:
  virtual ~Interaction() = default;

  // The passphrase of a file (its bare name; empty for pasted text), asked
  // again with aWasWrong set until it fits or is declined.
  virtual PassphraseReply AskPassphrase(const std::string& aFileName, bool aWasWrong) = 0;
  // A question; returns the button chosen.
  virtual MsgButton Ask(const Question& aQuestion) = 0;
  virtual void Tell(const Notice& aNotice) = 0;
  virtual void ShowErrorDetail(const ErrorDetail& aDetail) = 0;
  // One of several certificates of a folder (their display lines); nothing
  // when none is chosen.
  virtual std::optional<int> ChooseCertificate(const QStringList& aLines) = 0;

  // Progress. A long operation runs between SetBusy(true) and SetBusy(false)
  // and calls KeepPainted now and then; neither may run the person's input.
  virtual void SetBusy(bool aBusy) { (void)aBusy; }
  virtual void KeepPainted() {}
  // The server's certificate folder was found and preset as the target.
  virtual void TargetPreset(const QString& aFolder) { (void)aFolder; }
  virtual void ShowCheck(CheckStage aStage, CheckState aState) {
    (void)aStage;
    (void)aState;
  }
  // The verification ended; aStatusLine says how (before any error detail).
  virtual void ShowVerdict(bool aPassed, const QString& aStatusLine) {
    (void)aPassed;
    (void)aStatusLine;
  }
};

// Marks a scope as busy and ends it whatever happens.
class BusyScope {
public:
  explicit BusyScope(Interaction& aInteraction) : fInteraction(aInteraction) {
    fInteraction.SetBusy(true);
  }
  ~BusyScope() { fInteraction.SetBusy(false); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

private:
  Interaction& fInteraction;
};

} // namespace orvo::core

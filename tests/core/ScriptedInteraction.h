#pragma once
// A scripted stand-in for the import core's interaction: every call is
// recorded as one line ("ask <text>", "tell <text>", "detail <error text>",
// "check KeyPair Passed", ...), and answers come from queues that a test fills
// beforehand. With an empty queue a question answers Yes, a passphrase is
// declined and no certificate is chosen.

#include "core/Interaction.h"

#include <deque>
#include <string>
#include <vector>

namespace orvo::test {

class ScriptedInteraction : public core::Interaction {
public:
  core::PassphraseReply AskPassphrase(const std::string& aFileName, bool aWasWrong) override {
    log.push_back("passphrase " + aFileName + (aWasWrong ? " again" : ""));
    if (passphrases.empty()) {
      return {};
    }
    const std::string answer = passphrases.front();
    passphrases.pop_front();
    return {true, answer};
  }
  core::MsgButton Ask(const core::Question& aQuestion) override {
    log.push_back("ask " + aQuestion.text.toStdString());
    topics.push_back(aQuestion.topic);
    if (answers.empty()) {
      return core::MbYes;
    }
    const core::MsgButton answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Tell(const core::Notice& aNotice) override {
    log.push_back("tell " + aNotice.text.toStdString());
  }
  void ShowErrorDetail(const core::ErrorDetail& aDetail) override {
    log.push_back("detail " + aDetail.errorText.toStdString());
    details.push_back(aDetail);
  }
  std::optional<int> ChooseCertificate(const QStringList& aLines) override {
    log.push_back("choose " + std::to_string(aLines.size()));
    return std::nullopt;
  }
  void SetBusy(bool aBusy) override { busy += aBusy ? 1 : -1; }
  void KeepPainted() override { ++painted; }
  void TargetPreset(const QString& aFolder) override {
    log.push_back("target " + aFolder.toStdString());
  }
  void ShowCheck(core::CheckStage aStage, core::CheckState aState) override {
    static const char* const kStages[] = {"KeyPair", "TlsConnection"};
    static const char* const kStates[] = {"Pending", "Passed", "Failed"};
    log.push_back(std::string("check ") + kStages[static_cast<int>(aStage)] + " " +
                  kStates[static_cast<int>(aState)]);
  }
  void ShowVerdict(bool aPassed, const QString& aStatusLine) override {
    log.push_back(std::string(aPassed ? "passed " : "failed ") + aStatusLine.toStdString());
  }

  std::deque<std::string> passphrases;
  std::deque<core::MsgButton> answers;
  std::vector<std::string> log;
  std::vector<core::Topic> topics;
  std::vector<core::ErrorDetail> details;
  int busy = 0;    // open busy scopes
  int painted = 0; // calls of KeepPainted (not logged)
};

} // namespace orvo::test

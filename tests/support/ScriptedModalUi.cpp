#include "support/ScriptedModalUi.h"

namespace orvo::test {

namespace {

// Moves the next scripted answer into aAnswer; leaves it as it is when the
// queue is empty.
template <typename T> void TakeFront(std::deque<T>& aQueue, T& aAnswer) {
  if (!aQueue.empty()) {
    aAnswer = std::move(aQueue.front());
    aQueue.pop_front();
  }
}

ui::MsgButton DefaultAnswer(ui::MsgButtons buttons) {
  for (ui::MsgButton b : {ui::MbOk, ui::MbYes, ui::MbCancel, ui::MbNo}) {
    if ((buttons & b) != 0) {
      return b;
    }
  }
  return ui::MbNone;
}

} // namespace

ui::MsgButton ScriptedModalUi::messageBox(ui::MsgKind kind, const QString& text,
                                          ui::MsgButtons buttons, const QString& title) {
  ModalCall call;
  call.what = ModalCall::What::MessageBox;
  call.kind = kind;
  call.text = text;
  call.buttons = buttons;
  call.title = title;
  calls.push_back(call);
  ui::MsgButton answer = DefaultAnswer(buttons);
  TakeFront(messageAnswers, answer);
  return answer;
}

void ScriptedModalUi::showErrorDetail(const QString& header, const QString& errorText,
                                      const QString& detailText) {
  ModalCall call;
  call.what = ModalCall::What::ErrorDetail;
  call.header = header;
  call.text = errorText;
  call.detail = detailText;
  calls.push_back(call);
}

ui::PassphraseAnswer ScriptedModalUi::askPassphrase(const ui::PassphraseRequest& request) {
  ModalCall call;
  call.what = ModalCall::What::Passphrase;
  call.passphrase = request;
  calls.push_back(call);
  ui::PassphraseAnswer answer;
  TakeFront(passphraseAnswers, answer);
  return answer;
}

ui::CertificateChoice ScriptedModalUi::chooseCertificate(const QStringList& lines) {
  ModalCall call;
  call.what = ModalCall::What::ChooseCertificate;
  call.lines = lines;
  calls.push_back(call);
  ui::CertificateChoice answer;
  TakeFront(choiceAnswers, answer);
  return answer;
}

std::optional<QString> ScriptedModalUi::browseForFolder(const ui::FolderDialogRequest& request) {
  ModalCall call;
  call.what = ModalCall::What::Folder;
  call.text = request.title;
  call.startFolder = request.startFolder;
  calls.push_back(call);
  std::optional<QString> answer;
  TakeFront(folderAnswers, answer);
  return answer;
}

std::optional<QString> ScriptedModalUi::browseForFile(const ui::FileDialogRequest& request) {
  ModalCall call;
  call.what = ModalCall::What::File;
  call.text = request.title;
  call.startFolder = request.startFolder;
  calls.push_back(call);
  std::optional<QString> answer;
  TakeFront(fileAnswers, answer);
  return answer;
}

std::vector<ModalCall> ScriptedModalUi::CallsOf(ModalCall::What what) const {
  std::vector<ModalCall> result;
  for (const ModalCall& call : calls) {
    if (call.what == what) {
      result.push_back(call);
    }
  }
  return result;
}

QStringList ScriptedModalUi::MessageTexts() const {
  QStringList texts;
  for (const ModalCall& call : CallsOf(ModalCall::What::MessageBox)) {
    texts << call.text;
  }
  return texts;
}

void ScriptedModalUi::Clear() {
  calls.clear();
  messageAnswers.clear();
  passphraseAnswers.clear();
  choiceAnswers.clear();
  folderAnswers.clear();
  fileAnswers.clear();
}

} // namespace orvo::test

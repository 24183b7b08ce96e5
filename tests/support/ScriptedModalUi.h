#pragma once
// A scripted stand-in for the modal seam: every call is recorded with its
// texts, and answers come from queues that a test fills beforehand. With an
// empty queue a message box answers its first button of Ok, Yes, Cancel, No;
// the passphrase and list dialogs answer Cancel; the pickers answer nothing.

#include "ui/ModalUi.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <vector>

namespace orvo::test {

struct ModalCall {
  enum class What { MessageBox, ErrorDetail, Passphrase, ChooseCertificate, Folder, File };
  What what = What::MessageBox;
  ui::MsgKind kind = ui::MsgKind::Error; // message boxes
  QString text;                          // message text, error text, or picker title
  ui::MsgButtons buttons = ui::MbNone;
  QString title;  // message box title, or empty for the kind's own
  QString header; // error detail dialog
  QString detail; // error detail dialog
  ui::PassphraseRequest passphrase;
  QStringList lines; // list dialog
  QString startFolder;
};

class ScriptedModalUi : public ui::ModalUi {
public:
  ui::MsgButton messageBox(ui::MsgKind kind, const QString& text, ui::MsgButtons buttons,
                           const QString& title = {}) override;
  void showErrorDetail(const QString& header, const QString& errorText,
                       const QString& detailText) override;
  ui::PassphraseAnswer askPassphrase(const ui::PassphraseRequest& request) override;
  ui::CertificateChoice chooseCertificate(const QStringList& lines) override;
  std::optional<QString> browseForFolder(const ui::FolderDialogRequest& request) override;
  std::optional<QString> browseForFile(const ui::FileDialogRequest& request) override;

  // Scripted answers, taken in order.
  std::deque<ui::MsgButton> messageAnswers;
  std::deque<ui::PassphraseAnswer> passphraseAnswers;
  std::deque<ui::CertificateChoice> choiceAnswers;
  std::deque<std::optional<QString>> folderAnswers;
  std::deque<std::optional<QString>> fileAnswers;

  std::vector<ModalCall> calls;

  // The calls of one kind, in order.
  std::vector<ModalCall> CallsOf(ModalCall::What what) const;
  // Texts of the message boxes shown, in order.
  QStringList MessageTexts() const;
  void Clear();
};

} // namespace orvo::test

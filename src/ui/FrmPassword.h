#pragma once
// The modal dialog that asks for the passphrase of an encrypted key or a
// protected certificate file. One dialog per request: the caller sets
// filename and WasWrongPW, shows it modally, reads PassOk and, when true,
// Password. Enter presses OK; the close box counts as Cancel; Escape has no
// binding.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace orvo::ui {

class TFrmPassword : public QDialog {
  Q_OBJECT
public:
  explicit TFrmPassword(QWidget* aParent = nullptr);

  static constexpr QSize kDesignSize{681, 122};

  // The text entered, set only by OK (as typed; may be empty).
  const QString& Password() const { return fPassword; }
  // True when the dialog was closed with OK.
  bool PassOk() const { return fPassOk; }
  // What the passphrase is for: a file name, or empty.
  const QString& filename() const { return fFileName; }
  void setFilename(const QString& aFileName) { fFileName = aFileName; }
  // The previous passphrase for the same data was wrong.
  bool WasWrongPW() const { return fWasWrongPassWord; }
  void setWasWrongPW(bool aWasWrong) { fWasWrongPassWord = aWasWrong; }

  // The message shown for the given inputs.
  static QString MessageFor(const QString& aFileName, bool aWasWrongPassWord);

  QWidget* Panel1 = nullptr;
  QLabel* txtMessage = nullptr;
  QLineEdit* EdtPassword = nullptr;
  QWidget* Panel2 = nullptr;
  QPushButton* BtnOK = nullptr;
  QPushButton* BtnCancel = nullptr;

  // Event handlers.
  void FormShow();
  void BtnOKClick();
  void BtnCancelClick();

protected:
  void showEvent(QShowEvent* aEvent) override;
  void keyPressEvent(QKeyEvent* aEvent) override;

private:
  QString fPassword;
  bool fPassOk = false;
  QString fFileName;
  bool fWasWrongPassWord = false;
};

} // namespace orvo::ui

#pragma once
// The modal dialog with which the user picks one certificate when a folder
// yields several usable certificates and none could be paired with a key
// file. The caller fills LBCerts (one line per candidate, in candidate order),
// shows the dialog modally, then reads Selected and SelectedCertIndex.
//
// "Select >" is usable only while a line is highlighted, so a confirmed
// choice always names a line: Selected true implies SelectedCertIndex >= 0.

#include <QDialog>

class QLabel;
class QListWidget;
class QPushButton;

namespace orvo::ui {

class TdFrmSelectCertificateFromList : public QDialog {
  Q_OBJECT
public:
  explicit TdFrmSelectCertificateFromList(QWidget* aParent = nullptr);

  static constexpr QSize kDesignSize{761, 192};

  // Index of the highlighted line when "Select >" was pressed; -1 otherwise.
  int SelectedCertIndex() const { return fSelectedCertIndex; }
  // True when the dialog was closed with "Select >".
  bool Selected() const { return fSelected; }

  QWidget* Panel1 = nullptr;
  QLabel* TxtStepInfo = nullptr;
  QListWidget* LBCerts = nullptr;
  QWidget* Panel2 = nullptr;
  QPushButton* Button2 = nullptr; // "Select >"
  QPushButton* Button1 = nullptr; // "Cancel"

  // Event handlers.
  void FormShow();
  void Button2Click();
  void Button1Click();

protected:
  void showEvent(QShowEvent* aEvent) override;

private:
  void UpdateSelectButton();

  int fSelectedCertIndex = -1;
  bool fSelected = false;
};

} // namespace orvo::ui

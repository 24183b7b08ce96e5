#pragma once
// The wizard's one error window: a red error symbol, a bold heading, a
// one-line error text and a scrollable box with the detailed reasons. One
// instance serves the whole run: a caller sets the three texts and shows it
// modally; the texts stay until the next caller replaces them.

#include <QDialog>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace orvo::ui {

class TFrmErrorDetailDialog : public QDialog {
  Q_OBJECT
public:
  explicit TFrmErrorDetailDialog(QWidget* aParent = nullptr);

  static constexpr QSize kDesignSize{425, 432};

  // The heading (text of Label1).
  QString Header() const;
  void SetHeader(const QString& aText);
  // The error text (text of LblErrortext): one line, never wrapped; a line
  // break in the text starts a new line (read back as LF).
  QString ErrorText() const;
  void SetErrorText(const QString& aText);
  // The detailed reasons: reading gives every line of Memo1 followed by a
  // line break (CR LF); writing replaces the lines by the text split at line
  // breaks (CR LF, LF or CR).
  QString detailtext() const;
  void Setdetailtext(const QString& aText);

  QLabel* Image1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* LblErrortext = nullptr;
  QPushButton* Button1 = nullptr;
  QFrame* Panel1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;

  void Button1Click();
};

} // namespace orvo::ui

#include "ui/FrmErrorDetailDialog.h"

#include "ui/Fonts.h"
#include "ui/Pictures.h"
#include "ui/UiParts.h"

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace orvo::ui {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

QStringList SplitLines(const QString& text) {
  static const QRegularExpression kBreak(QStringLiteral("\r\n|\n|\r"));
  QStringList lines = text.split(kBreak);
  // A text that ends with a line break has no empty line after it.
  if (!lines.isEmpty() && lines.last().isEmpty()) {
    lines.removeLast();
  }
  return lines;
}

} // namespace

TFrmErrorDetailDialog::TFrmErrorDetailDialog(QWidget* aParent) : QDialog(aParent) {
  setObjectName(QStringLiteral("FrmErrorDetailDialog"));
  setWindowTitle(QStringLiteral("Error"));
  setFont(TahomaFont(11));
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setFixedSize(kDesignSize);

  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setGeometry(8, 8, 49, 49);
  Image1->setScaledContents(true);
  Image1->setPixmap(ErrorSymbolPixmap());
  Image1->setAccessibleName(QStringLiteral("Error"));

  Label1 = MakeAutoSizeLabel(this, "Label1", QStringLiteral("LblHeader"), QPoint(63, 28),
                             TahomaFont(13, true));
  LblErrortext = MakeAutoSizeLabel(this, "LblErrortext", QStringLiteral("LblErrortext"),
                                   QPoint(8, 72), TahomaFont(13));
  LblErrortext->setWordWrap(false);

  Button1 = MakeButton(this, "Button1", QStringLiteral("OK"), QRect(341, 128, 75, 25));
  Button1->setDefault(true);

  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setGeometry(8, 168, 409, 256);

  Memo1 = new QPlainTextEdit(Panel1);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setAccessibleName(QStringLiteral("Error details"));
  Memo1->setGeometry(1, 1, 407, 254);
  Memo1->setFrameStyle(QFrame::NoFrame);
  Memo1->setFont(TahomaFont(13));
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QPalette palette = Memo1->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  Memo1->setPalette(palette);
  Memo1->setPlainText(QStringLiteral("detailed error text"));

  SetTabChain({Button1, Memo1});
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
}

QString TFrmErrorDetailDialog::Header() const {
  return Label1->text();
}

void TFrmErrorDetailDialog::SetHeader(const QString& aText) {
  Label1->setText(aText);
  Label1->adjustSize();
}

QString TFrmErrorDetailDialog::ErrorText() const {
  return LblErrortext->text();
}

void TFrmErrorDetailDialog::SetErrorText(const QString& aText) {
  // The label breaks lines at LF only.
  LblErrortext->setText(SplitLines(aText).join(QLatin1Char('\n')));
  LblErrortext->adjustSize();
}

QString TFrmErrorDetailDialog::detailtext() const {
  QString text;
  for (const QString& line : SplitLines(Memo1->toPlainText())) {
    text += line + kLineBreak;
  }
  return text;
}

void TFrmErrorDetailDialog::Setdetailtext(const QString& aText) {
  Memo1->setPlainText(SplitLines(aText).join(QLatin1Char('\n')));
}

void TFrmErrorDetailDialog::Button1Click() {
  accept();
}

} // namespace orvo::ui

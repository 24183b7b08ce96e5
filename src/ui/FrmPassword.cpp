#include "ui/FrmPassword.h"

#include "ui/Fonts.h"
#include "ui/UiParts.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

namespace orvo::ui {

namespace {

constexpr int kMessagePanelHeight = 81;

// Hidden input shows every character as "*", whatever the platform's style.
class AsteriskPasswordStyle : public QProxyStyle {
public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* returnData) const override {
    if (hint == QStyle::SH_LineEdit_PasswordCharacter) {
      return '*';
    }
    return QProxyStyle::styleHint(hint, option, widget, returnData);
  }
};

} // namespace

TFrmPassword::TFrmPassword(QWidget* aParent) : QDialog(aParent) {
  setObjectName(QStringLiteral("FrmPassword"));
  setWindowTitle(QStringLiteral("Passphrase for private key"));
  setFont(TahomaFont(11));
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setFixedSize(kDesignSize);

  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setGeometry(0, 0, kDesignSize.width(), kMessagePanelHeight);
  txtMessage = MakeAutoSizeLabel(
      Panel1, "txtMessage", QStringLiteral("Please provide the passphrase for the private key"),
      QPoint(24, 21), TahomaFont(13));
  EdtPassword =
      MakeEdit(Panel1, "EdtPassword", QRect(24, 47, 625, 21), QStringLiteral("Passphrase"));
  EdtPassword->setEchoMode(QLineEdit::Password);
  EdtPassword->setPlaceholderText(QStringLiteral("Enter passphrase for the private key"));
  // The dialog owns the style; Panel1 and its edit were created first and so
  // are destroyed before it.
  auto* style = new AsteriskPasswordStyle;
  style->setParent(this);
  EdtPassword->setStyle(style);

  Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  Panel2->setGeometry(0, kMessagePanelHeight, kDesignSize.width(),
                      kDesignSize.height() - kMessagePanelHeight);
  BtnOK = MakeButton(Panel2, "BtnOK", QStringLiteral("OK"), QRect(487, 0, 75, 25));
  BtnOK->setDefault(true);
  BtnCancel = MakeButton(Panel2, "BtnCancel", QStringLiteral("Cancel"), QRect(575, 0, 75, 25));
  SetTabChain({EdtPassword, BtnOK, BtnCancel});

  connect(BtnOK, &QPushButton::clicked, this, [this] { BtnOKClick(); });
  connect(BtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });
}

QString TFrmPassword::MessageFor(const QString& aFileName, bool aWasWrongPassWord) {
  QString message =
      TrimControlChars(aFileName).isEmpty()
          ? QStringLiteral("Enter the passphrase for the private key")
          : QStringLiteral("Enter the passphrase for the private key in the file ") + aFileName;
  if (aWasWrongPassWord) {
    message.prepend(QStringLiteral("Wrong passphrase. "));
  }
  return message;
}

void TFrmPassword::showEvent(QShowEvent* aEvent) {
  FormShow();
  QDialog::showEvent(aEvent);
}

void TFrmPassword::FormShow() {
  fPassOk = false;
  txtMessage->setText(MessageFor(fFileName, fWasWrongPassWord));
  txtMessage->adjustSize();
  EdtPassword->clear();
  EdtPassword->setFocus();
}

void TFrmPassword::keyPressEvent(QKeyEvent* aEvent) {
  // Escape has no binding: only Cancel and the close box cancel.
  if (aEvent->key() == Qt::Key_Escape && aEvent->modifiers() == Qt::NoModifier) {
    aEvent->accept();
    return;
  }
  QDialog::keyPressEvent(aEvent);
}

void TFrmPassword::BtnOKClick() {
  fPassword = EdtPassword->text();
  fPassOk = true;
  accept();
}

void TFrmPassword::BtnCancelClick() {
  reject();
}

} // namespace orvo::ui

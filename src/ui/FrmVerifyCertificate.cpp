#include "ui/FrmVerifyCertificate.h"

#include "ui/Fonts.h"
#include "ui/ModalUi.h"
#include "ui/Pictures.h"

#include "files/FolderIdentity.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace orvo::ui {

namespace {

const QChar kPathDelimiter = QLatin1Char('/');

QLabel* MakeStatusImage(QWidget* parent, const char* name, QRect geometry,
                        const QString& accessibleName) {
  auto* image = new QLabel(parent);
  image->setObjectName(QString::fromLatin1(name));
  image->setGeometry(geometry);
  image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  image->setAttribute(Qt::WA_TranslucentBackground);
  image->setAccessibleName(accessibleName);
  return image;
}

QString WithTrailingDelimiter(const QString& path) {
  return path.endsWith(kPathDelimiter) ? path : path + kPathDelimiter;
}

} // namespace

TFrmVerifyCertificate::TFrmVerifyCertificate(ModalUi& aModal, QWidget* aParent)
    : QWidget(aParent), ImageList1{StatusPixmap(SpPending), StatusPixmap(SpPassed),
                                   StatusPixmap(SpFailed)},
      fModal(aModal) {
  setObjectName(QStringLiteral("FrmVerifyCertificate"));
  setFont(TahomaFont(11));
  resize(kDesignSize);

  PnlFrmSelectkey = new QWidget(this);
  PnlFrmSelectkey->setObjectName(QStringLiteral("PnlFrmSelectkey"));
  PnlFrmSelectkey->setFont(TahomaFont(11));
  PnlFrmSelectkey->setGeometry(QRect(QPoint(0, 0), kDesignSize));

  BuildStatusLines();
  BuildTargetSettings();
  SetTabChain({EdtDir, BtnDir, CBEncrypt, CbBackup});

  EdtDir->installEventFilter(this);
  PnlFrmSelectkey->installEventFilter(this);
  connect(EdtDir, &QLineEdit::textChanged, this, [this] { EdtDirChange(); });
  connect(BtnDir, &QPushButton::clicked, this, [this] { BtnDirClick(); });
  PnlFrmSelectkeyResize();
}

TFrmVerifyCertificate::~TFrmVerifyCertificate() = default;

void TFrmVerifyCertificate::BuildStatusLines() {
  QWidget* panel = PnlFrmSelectkey;
  StaticText3 = MakeLabel(panel, "StaticText3", QStringLiteral("Certificate information:"),
                          QRect(24, 17, 155, 20), TahomaFont(13, true));
  lblCertInfo = MakeAutoSizeLabel(panel, "lblCertInfo", QStringLiteral("Certificate"),
                                  QPoint(50, 37), TahomaFont(13));
  ImgverifyKey = MakeStatusImage(panel, "ImgverifyKey", QRect(33, 72, 17, 17),
                                 QStringLiteral("Status of the key pair check"));
  StaticText1 = MakeLabel(
      panel, "StaticText1",
      QStringLiteral("Verifying that certificate public key and private key are a keypair..."),
      QRect(56, 71, 382, 20), TahomaFont(13));
  ImgconnectLocal = MakeStatusImage(panel, "ImgconnectLocal", QRect(33, 113, 17, 17),
                                    QStringLiteral("Status of the TLS connection test"));
  StaticText2 = MakeLabel(panel, "StaticText2",
                          QStringLiteral("Testing certificate with an SSL connection..."),
                          QRect(56, 112, 255, 20), TahomaFont(13));
  TxtCert = MakeAutoSizeLabel(panel, "TxtCert", QStringLiteral("Certificate"), QPoint(24, 152),
                              TahomaFont(13, true));
}

void TFrmVerifyCertificate::BuildTargetSettings() {
  QWidget* panel = PnlFrmSelectkey;
  Label1 = MakeLabel(panel, "Label1", QStringLiteral("Select target directory"),
                     QRect(36, 191, 127, 16), TahomaFont(13));
  EdtDir = MakeEdit(panel, "EdtDir", QRect(182, 190, 522, 25), QStringLiteral("Target directory"));
  fAnchors.Add(EdtDir, AkLeft | AkTop | AkRight);
  Label1->setBuddy(EdtDir);
  BtnDir = MakeButton(panel, "BtnDir", QStringLiteral("..."), QRect(703, 189, 25, 27),
                      QStringLiteral("Browse for the target directory"));
  CbBackup =
      MakeCheckBox(panel, "CbBackup",
                   QStringLiteral("Backup the previous certificate files into a subdirectory"),
                   QRect(182, 224, 561, 17), TahomaFont(13));
  CbBackup->setChecked(true);
  CBEncrypt = MakeCheckBox(panel, "CBEncrypt",
                           QStringLiteral("Encrypt private key (for use with Orvo only)"),
                           QRect(182, 247, 561, 17), TahomaFont(13));
  CBEncrypt->setChecked(false);
  CBEncrypt->setVisible(false);
}

bool TFrmVerifyCertificate::eventFilter(QObject* aWatched, QEvent* aEvent) {
  if (aWatched == PnlFrmSelectkey && aEvent->type() == QEvent::Resize) {
    PnlFrmSelectkeyResize();
  }
  return QWidget::eventFilter(aWatched, aEvent);
}

void TFrmVerifyCertificate::resizeEvent(QResizeEvent* aEvent) {
  QWidget::resizeEvent(aEvent);
  if (PnlFrmSelectkey->parentWidget() == this) {
    PnlFrmSelectkey->setGeometry(rect());
  }
}

void TFrmVerifyCertificate::LockInput() {
  EdtDir->setEnabled(false);
  BtnDir->setEnabled(false);
  CBEncrypt->setEnabled(false);
  CbBackup->setEnabled(false);
}

void TFrmVerifyCertificate::UnlockInput() {
  EdtDir->setEnabled(true);
  BtnDir->setEnabled(true);
  CBEncrypt->setEnabled(false);
  CBEncrypt->setChecked(false);
}

void TFrmVerifyCertificate::ShowStatus(QLabel* aImage, int aIndex) {
  static const std::array<QString, 3> kStateNames = {
      QStringLiteral("pending"), QStringLiteral("passed"), QStringLiteral("failed")};
  if (aIndex < 0 || aIndex >= static_cast<int>(ImageList1.size())) {
    aImage->clear();
    aImage->setAccessibleDescription({});
  } else {
    const auto index = static_cast<std::size_t>(aIndex);
    aImage->setPixmap(ImageList1[index]);
    aImage->setAccessibleDescription(kStateNames[index]);
  }
  aImage->repaint();
}

void TFrmVerifyCertificate::SetStatusLine(const QString& aText, bool aFailed) {
  QPalette palette = TxtCert->palette();
  palette.setColor(QPalette::WindowText, aFailed ? QColor(255, 0, 0) : QColor(0, 0, 0));
  TxtCert->setPalette(palette);
  TxtCert->setText(aText);
  TxtCert->adjustSize();
}

// The backup rule: a target that is the server's own certificate folder is
// always backed up first; elsewhere the user decides. The two name the same
// folder when the file system says so (same device and inode, or the same
// canonical path while the typed folder does not exist yet); letter case
// counts, as it does on this file system.
void TFrmVerifyCertificate::EdtDirChange() {
  if (!fIsCoreInstallation) {
    return;
  }
  const QString target = WithTrailingDelimiter(EdtDir->text());
  if (files::SameFolder(target.toStdString(), fOrvoCorePath.toStdString())) {
    CbBackup->setChecked(true);
    CbBackup->setEnabled(false);
  } else {
    CbBackup->setEnabled(true);
  }
}

void TFrmVerifyCertificate::BtnDirClick() {
  FolderDialogRequest request;
  request.title = kBrowseFolderTitle;
  request.startFolder = EdtDir->text();
  request.parent = PnlFrmSelectkey->window();
  if (const std::optional<QString> folder = fModal.browseForFolder(request)) {
    EdtDir->setText(*folder);
  }
}

void TFrmVerifyCertificate::PnlFrmSelectkeyResize() {
  fAnchors.Apply(PnlFrmSelectkey->size());
  BtnDir->move(EdtDir->x() + EdtDir->width(), BtnDir->y());
}

} // namespace orvo::ui

#include "ui/FrmSelectCertificate.h"

#include "ui/Fonts.h"
#include "ui/ModalUi.h"

#include <QAction>
#include <QEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

namespace orvo::ui {

namespace {

// Small grey sample text under the paste choice.
QLabel* MakeSampleLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                        int pixelHeight) {
  QLabel* label = MakeLabel(parent, name, text, geometry, TahomaFont(pixelHeight));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, QColor(128, 128, 128));
  label->setPalette(palette);
  return label;
}

// Start folder of the file-open dialog when none was used before (the root of
// the file system).
const QString kFirstFileDialogFolder = QStringLiteral("/");

} // namespace

TFrmSelectCertificate::TFrmSelectCertificate(ModalUi& aModal, QWidget* aParent)
    : QWidget(aParent), fModal(aModal) {
  setObjectName(QStringLiteral("FrmSelectCertificate"));
  setFont(TahomaFont(11));
  resize(kDesignSize);

  PnlFrmSelectCert = new QWidget(this);
  PnlFrmSelectCert->setObjectName(QStringLiteral("PnlFrmSelectCert"));
  PnlFrmSelectCert->setFont(TahomaFont(11));
  PnlFrmSelectCert->setGeometry(QRect(QPoint(0, 0), kDesignSize));

  BuildStoreSource();
  BuildFileSource();
  BuildPasteSource();
  BuildFolderSource();
  SetTabOrder();
  ConnectHandlers();
  PnlFrmSelectCert->installEventFilter(this);
  PnlFrmSelectCertResize();
}

void TFrmSelectCertificate::BuildStoreSource() {
  LBCerts = MakeListBox(PnlFrmSelectCert, "LBCerts", QRect(199, 24, 546, 106),
                        QStringLiteral("Certificates of the certificate store"));
  fAnchors.Add(LBCerts, AkLeft | AkTop | AkRight);
  RBCertStore =
      MakeRadio(PnlFrmSelectCert, "RBCertStore", QStringLiteral("Windows Certificate Store"),
                QRect(24, 16, 169, 41), TahomaFont(13));
}

void TFrmSelectCertificate::BuildPasteSource() {
  RBPaste = MakeRadio(PnlFrmSelectCert, "RBPaste", QStringLiteral("Paste from clipboard"),
                      QRect(24, 158, 169, 41), TahomaFont(13));
  MClipboard = MakeMemo(PnlFrmSelectCert, "MClipboard", QRect(200, 168, 545, 156),
                        QStringLiteral("Pasted certificate text"));
  fAnchors.Add(MClipboard, AkLeft | AkTop | AkRight | AkBottom);
  const SelectAllMenu menu = AttachSelectAllMenu(MClipboard, "PopupMenu1", "Selectall1");
  PopupMenu1 = menu.menu;
  Selectall1 = menu.item;

  StaticText1 = MakeSampleLabel(PnlFrmSelectCert, "StaticText1", QStringLiteral("Sample:"),
                                QRect(40, 189, 42, 17), 11);
  StaticText2 =
      MakeSampleLabel(PnlFrmSelectCert, "StaticText2",
                      QStringLiteral("-----BEGIN CERTIFICATE-----"), QRect(40, 205, 132, 15), 9);
  StaticText3 = MakeSampleLabel(PnlFrmSelectCert, "StaticText3", QStringLiteral("..."),
                                QRect(40, 218, 13, 15), 9);
  StaticText4 =
      MakeSampleLabel(PnlFrmSelectCert, "StaticText4", QStringLiteral("-----END CERTIFICATE-----"),
                      QRect(40, 236, 122, 15), 9);
}

void TFrmSelectCertificate::BuildFolderSource() {
  RBDir = MakeRadio(PnlFrmSelectCert, "RBDir", QStringLiteral("Provide a directory"),
                    QRect(24, 127, 169, 41), TahomaFont(13));
  EdtDir = MakeEdit(PnlFrmSelectCert, "EdtDir", QRect(199, 136, 522, 25),
                    QStringLiteral("Certificate folder"));
  fAnchors.Add(EdtDir, AkLeft | AkTop | AkRight);
  BtnDir = MakeButton(PnlFrmSelectCert, "BtnDir", QStringLiteral("..."), QRect(720, 135, 25, 27),
                      QStringLiteral("Browse for the certificate folder"));
}

// The single-file source is laid out but hidden and disabled: users reach
// only the other three sources.
void TFrmSelectCertificate::BuildFileSource() {
  RBFile = MakeRadio(PnlFrmSelectCert, "RBFile", QStringLiteral("File (.pfx / .p7b / .cer)"),
                     QRect(25, 289, 169, 41), TahomaFont(13));
  EdtFile = MakeEdit(PnlFrmSelectCert, "EdtFile", QRect(200, 299, 522, 25),
                     QStringLiteral("Certificate file"));
  fAnchors.Add(EdtFile, AkLeft | AkTop | AkRight);
  BtnFile = MakeButton(PnlFrmSelectCert, "BtnFile", QStringLiteral("..."), QRect(721, 298, 25, 27),
                       QStringLiteral("Browse for the certificate file"));
  for (QWidget* control : {static_cast<QWidget*>(RBFile), static_cast<QWidget*>(EdtFile),
                           static_cast<QWidget*>(BtnFile)}) {
    control->setVisible(false);
    control->setEnabled(false);
  }
}

void TFrmSelectCertificate::SetTabOrder() {
  SetTabChain(
      {LBCerts, RBCertStore, RBFile, EdtFile, BtnFile, RBPaste, MClipboard, RBDir, EdtDir, BtnDir});
}

void TFrmSelectCertificate::ConnectHandlers() {
  LBCerts->installEventFilter(this);
  LBCerts->viewport()->installEventFilter(this);
  EdtDir->installEventFilter(this);
  EdtFile->installEventFilter(this);
  MClipboard->installEventFilter(this);
  connect(BtnDir, &QPushButton::clicked, this, [this] { BtnDirClick(); });
  connect(BtnFile, &QPushButton::clicked, this, [this] { BtnFileClick(); });
  connect(MClipboard, &QPlainTextEdit::textChanged, this, [this] { MClipboardChange(); });
  connect(Selectall1, &QAction::triggered, this, [this] { Selectall1Click(); });
}

bool TFrmSelectCertificate::eventFilter(QObject* aWatched, QEvent* aEvent) {
  switch (aEvent->type()) {
  case QEvent::FocusIn:
    if (aWatched == LBCerts) {
      LBCertsEnter();
    } else if (aWatched == EdtDir) {
      EdtDirEnter();
    } else if (aWatched == EdtFile) {
      EdtFileEnter();
    } else if (aWatched == MClipboard) {
      MClipboardEnter();
    }
    break;
  case QEvent::MouseButtonPress:
    if (aWatched == LBCerts->viewport()) {
      LBCertsClick();
    }
    break;
  case QEvent::KeyPress:
    if (aWatched == MClipboard && IsSelectAllKey(*static_cast<QKeyEvent*>(aEvent))) {
      Selectall1Click();
      return true;
    }
    break;
  case QEvent::Resize:
    if (aWatched == PnlFrmSelectCert) {
      PnlFrmSelectCertResize();
    }
    break;
  default:
    break;
  }
  return QWidget::eventFilter(aWatched, aEvent);
}

// The panel fills the frame while it is at home in it.
void TFrmSelectCertificate::resizeEvent(QResizeEvent* aEvent) {
  QWidget::resizeEvent(aEvent);
  if (PnlFrmSelectCert->parentWidget() == this) {
    PnlFrmSelectCert->setGeometry(rect());
  }
}

void TFrmSelectCertificate::LBCertsClick() {
  if (RBCertStore->isEnabled()) {
    RBCertStore->setChecked(true);
  }
}

void TFrmSelectCertificate::LBCertsEnter() {
  if (RBCertStore->isEnabled()) {
    RBCertStore->setChecked(true);
  }
}

void TFrmSelectCertificate::EdtDirEnter() {
  RBDir->setChecked(true);
}

void TFrmSelectCertificate::BtnDirClick() {
  RBDir->setChecked(true);
  FolderDialogRequest request;
  request.title = kBrowseFolderTitle;
  request.startFolder = EdtDir->text();
  request.parent = PnlFrmSelectCert->window();
  if (const std::optional<QString> folder = fModal.browseForFolder(request)) {
    EdtDir->setText(*folder);
  }
}

void TFrmSelectCertificate::EdtFileEnter() {
  RBFile->setChecked(true);
}

void TFrmSelectCertificate::BtnFileClick() {
  RBFile->setChecked(true);
  FileDialogRequest request;
  request.title = QStringLiteral("Open");
  request.fileNameLabel = QStringLiteral("X.509 certificate ");
  // "*.*" stands for every file, with or without an extension.
  request.nameFilters = {QStringLiteral("*.* (*)"),      QStringLiteral(".pfx (*.pfx)"),
                         QStringLiteral(".p7b (*.p7b)"), QStringLiteral(".cer (*.cer)"),
                         QStringLiteral(".crt (*.crt)"), QStringLiteral(".cert (*.cert)")};
  request.startFolder = fFileDialogFolder.isEmpty() ? kFirstFileDialogFolder : fFileDialogFolder;
  request.parent = PnlFrmSelectCert->window();
  if (const std::optional<QString> file = fModal.browseForFile(request)) {
    EdtFile->setText(*file);
    fFileDialogFolder = QFileInfo(*file).absolutePath();
  }
}

void TFrmSelectCertificate::MClipboardEnter() {
  RBPaste->setChecked(true);
}

void TFrmSelectCertificate::MClipboardChange() {
  RBPaste->setChecked(true);
}

void TFrmSelectCertificate::Selectall1Click() {
  MClipboard->selectAll();
}

void TFrmSelectCertificate::PnlFrmSelectCertResize() {
  fAnchors.Apply(PnlFrmSelectCert->size());
  BtnFile->move(EdtFile->x() + EdtFile->width(), BtnFile->y());
  BtnDir->move(EdtDir->x() + EdtDir->width(), BtnDir->y());
}

} // namespace orvo::ui

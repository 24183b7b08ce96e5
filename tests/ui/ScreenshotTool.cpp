// Renders every step page (hosted in the main window) and every dialog into
// PNG files, for the documentation. Run by scripts/screenshots under Xvfb:
//   orvo_ui_screenshots <output folder>
#include "support/ScriptedModalUi.h"
#include "ui/FrmErrorDetailDialog.h"
#include "ui/FrmPassword.h"
#include "ui/FrmSelectCertificate.h"
#include "ui/FrmSelectCertificateFromList.h"
#include "ui/FrmSelectPrivateKey.h"
#include "ui/FrmVerifyCertificate.h"
#include "ui/MainWindowForm.h"
#include "ui/Pictures.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextStream>

namespace {

using namespace orvo::ui;

const QString kServerCert = QStringLiteral(
    "Certificate for monitor.example.com signed by Example Issuing CA - usable for server "
    "authentication");

bool Save(QWidget& widget, const QDir& folder, const QString& name) {
  widget.show();
  widget.raise();
  QApplication::processEvents();
  const QString file = folder.filePath(name + QStringLiteral(".png"));
  if (!widget.grab().save(file)) {
    QTextStream(stderr) << "cannot write " << file << '\n';
    return false;
  }
  QTextStream(stdout) << file << '\n';
  return true;
}

void ShowStep(MainWindowForm& window, QWidget* page, int step, const QString& title) {
  window.HostPage(page);
  window.BtnBack->setVisible(step > 1);
  window.BtnNext->setText(step == 3 ? QStringLiteral("Finish") : QStringLiteral("Next Step >"));
  window.txtstepinfo->setText(title);
  window.txtstepinfo->adjustSize();
}

bool Step1(MainWindowForm& window, TFrmSelectCertificate& frame, const QDir& out) {
  frame.LBCerts->addItems({kServerCert,
                           QStringLiteral("Certificate for intranet.example.com(self-signed) - "
                                          "usable for server authentication"),
                           QStringLiteral("Certificate for backup.example.com signed by Example "
                                          "Issuing CA - usable for server authentication")});
  frame.RBCertStore->setChecked(true);
  frame.LBCerts->setCurrentRow(0);
  ShowStep(window, frame.PnlFrmSelectCert, 1, QStringLiteral("Step 1: Select Certificate Source"));
  return Save(window, out, QStringLiteral("step1-certificate-source"));
}

bool Step2(MainWindowForm& window, TFrmSelectPrivateKey& frame, const QDir& out) {
  frame.TxtCert->setText(kServerCert);
  frame.EdtFile->setText(QStringLiteral("/home/admin/certs/monitor.example.com.key"));
  frame.RBFile->setChecked(true);
  ShowStep(window, frame.PnlFrmSelectkey, 2,
           QStringLiteral("Step 2: Provide the Private Key for the Certificate"));
  return Save(window, out, QStringLiteral("step2-private-key"));
}

bool Step3(MainWindowForm& window, TFrmVerifyCertificate& frame, const QDir& out) {
  frame.lblCertInfo->setText(kServerCert);
  frame.EdtDir->setText(QStringLiteral("/opt/orvo/cert/"));
  frame.SetIsCoreInstallation(true);
  frame.SetOrvoCorePath(QStringLiteral("/opt/orvo/cert/"));
  frame.EdtDirChange();
  frame.ShowStatus(frame.ImgverifyKey, SpPassed);
  frame.ShowStatus(frame.ImgconnectLocal, SpPassed);
  frame.SetStatusLine(QStringLiteral("Verification of certificate successful"), false);
  frame.UnlockInput();
  ShowStep(window, frame.PnlFrmSelectkey, 3, QStringLiteral("Step 3: Verifying Certificate... "));
  bool ok = Save(window, out, QStringLiteral("step3-verification-passed"));

  frame.LockInput();
  frame.ShowStatus(frame.ImgverifyKey, SpPassed);
  frame.ShowStatus(frame.ImgconnectLocal, SpFailed);
  frame.SetStatusLine(QStringLiteral("Verification of certificate NOT successful: the "
                                     "certificate does not work with a real SSL Connection."),
                      true);
  window.BtnNext->setEnabled(false);
  ok = Save(window, out, QStringLiteral("step3-verification-failed")) && ok;

  frame.ShowStatus(frame.ImgverifyKey, SpPending);
  frame.ShowStatus(frame.ImgconnectLocal, SpPending);
  frame.SetStatusLine(QStringLiteral("Verifying provided certificate and private key...."), false);
  return Save(window, out, QStringLiteral("step3-verification-running")) && ok;
}

bool Dialogs(QWidget& window, const QDir& out) {
  bool ok = true;
  TdFrmSelectCertificateFromList list(&window);
  list.LBCerts->addItems({kServerCert, kServerCert,
                          QStringLiteral("Certificate for old.example.com signed by Example "
                                         "Issuing CA - usable for server authentication")});
  list.show();
  list.LBCerts->setCurrentRow(1);
  ok = Save(list, out, QStringLiteral("dialog-select-certificate")) && ok;
  list.hide();

  TFrmPassword password(&window);
  password.setFilename(QStringLiteral("monitor.example.com.pfx"));
  password.setWasWrongPW(true);
  password.show();
  password.EdtPassword->setText(QStringLiteral("secret"));
  ok = Save(password, out, QStringLiteral("dialog-passphrase")) && ok;
  password.hide();

  TFrmErrorDetailDialog error(&window);
  error.SetHeader(QStringLiteral("Error verifying the provided certificate source"));
  error.SetErrorText(QStringLiteral("No valid certificates could be found."));
  error.Setdetailtext(
      QStringLiteral("Reason(s):--> Certificate for intranet.example.com(self-signed)\r\n"
                     "   the certificate is expired\r\n   the certificate chain is invalid\r\n"
                     "--> Certificate for old.example.com signed by Example Issuing CA\r\n"
                     "   the certificate can not be used for server authentication\r\n"));
  ok = Save(error, out, QStringLiteral("dialog-error-detail")) && ok;
  error.hide();

  QMessageBox warning(QMessageBox::Warning, QStringLiteral("Warning"),
                      QStringLiteral("There are warnings for certificate(s): \r\n    the key "
                                     "length is below 2048 bits\r\nDo you want to proceed?"),
                      QMessageBox::Yes | QMessageBox::Cancel, &window);
  ok = Save(warning, out, QStringLiteral("dialog-warning-question")) && ok;
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    QTextStream(stderr) << "usage: orvo_ui_screenshots <output folder>\n";
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!QDir().mkpath(out.path())) {
    QTextStream(stderr) << "cannot create " << out.path() << '\n';
    return 1;
  }
  orvo::test::ScriptedModalUi modal;
  MainWindowForm window;
  window.LblVersion->setText(QStringLiteral("Version 1.0.0.1"));
  window.LblVersion->adjustSize();
  TFrmSelectCertificate step1(modal);
  TFrmSelectPrivateKey step2(modal);
  TFrmVerifyCertificate step3(modal);

  bool ok = Step1(window, step1, out);
  ok = Step2(window, step2, out) && ok;
  ok = Step3(window, step3, out) && ok;
  window.ReturnPage(window.HostedPage());
  ok = Dialogs(window, out) && ok;
  return ok ? 0 : 1;
}

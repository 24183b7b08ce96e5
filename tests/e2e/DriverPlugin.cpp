// A Qt generic plugin that drives the real orvo-cert-importer process through
// a whole run, for the end-to-end tests. The test starts the program with
//   QT_PLUGIN_PATH=<folder with generic/>  QT_QPA_GENERIC_PLUGINS=orvo_e2e_driver
//   ORVO_E2E_SCRIPT=<script>  ORVO_E2E_LOG=<log>
// and the plugin, loaded by Qt at start-up, runs the script one command at a
// time from a timer, finding widgets by their object names, as a person would
// use them. Nothing of this is built into the product.
//
// Script lines (blank lines and lines starting with '#' are skipped):
//   wait-title <text>        wait until the step title contains text
//   set <object> <text>      put text into a line edit of the main window
//   paste <object> <file>    put a file's content into a text box
//   check <object>           check a radio button or check box
//   click <object>           click a button of the main window
//   passphrase <text>        answer the passphrase dialog with OK
//   message <button> [text]  answer a message box (logging its text), which
//                            must contain text when given
//   close-error              log and close the error detail dialog
//   wait-enabled <object>    wait until a button of the main window is enabled
//   screenshot <file>        save a picture of the main window as PNG
//   wait-exit                wait until the program ends
// The log gets one line per message box ("message: <kind>: <text>"), per
// error dialog, and "script done" or "script failed: <why>".

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGenericPlugin>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTextStream>
#include <QTimer>

namespace {

constexpr int kTickMs = 50;
constexpr int kCommandTimeoutMs = 60000;

class Driver : public QObject {
public:
  Driver() {
    QFile script(qEnvironmentVariable("ORVO_E2E_SCRIPT"));
    if (script.open(QIODevice::ReadOnly | QIODevice::Text)) {
      for (const QString& line : QString::fromUtf8(script.readAll()).split('\n')) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith('#')) {
          fCommands << trimmed;
        }
      }
    } else {
      Log("script failed: cannot read the script");
    }
    connect(&fTimer, &QTimer::timeout, this, [this] { Tick(); });
    fTimer.start(kTickMs);
  }

private:
  static void Log(const QString& aLine) {
    QFile log(qEnvironmentVariable("ORVO_E2E_LOG"));
    if (log.open(QIODevice::Append | QIODevice::Text)) {
      QTextStream(&log) << aLine << '\n';
    }
  }

  static QWidget* MainWindow() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->objectName() == "CertImportWizardMain" && top->isVisible()) {
        return top;
      }
    }
    return nullptr;
  }

  // The visible widget of that name in the main window.
  template <typename T> static T* Find(const QString& aName) {
    QWidget* main = MainWindow();
    if (main == nullptr) {
      return nullptr;
    }
    for (T* widget : main->findChildren<T*>(aName)) {
      if (widget->isVisible()) {
        return widget;
      }
    }
    return nullptr;
  }

  static void ClickLater(QAbstractButton* aButton) {
    QMetaObject::invokeMethod(aButton, &QAbstractButton::click, Qt::QueuedConnection);
  }

  void Tick() {
    if (fBusy) {
      return;
    }
    fBusy = true;
    if (fCommands.isEmpty()) {
      fTimer.stop();
      Log("script done");
    } else if (Run(fCommands.first())) {
      fCommands.removeFirst();
      fWaited = 0;
    } else if ((fWaited += kTickMs) > kCommandTimeoutMs) {
      Log("script failed: timed out at '" + fCommands.first() + "'");
      fTimer.stop();
      QApplication::exit(3);
    }
    fBusy = false;
  }

  // Runs one command; false while what it waits for is not there yet.
  bool Run(const QString& aCommand) {
    const QString verb = aCommand.section(' ', 0, 0);
    const QString object = aCommand.section(' ', 1, 1);
    const QString rest = aCommand.section(' ', 2);
    QWidget* modal = QApplication::activeModalWidget();
    if (verb == "wait-exit") {
      return false; // the program's end ends the script
    }
    if (verb == "message") {
      return AnswerMessage(qobject_cast<QMessageBox*>(modal), object, aCommand.section(' ', 2));
    }
    if (verb == "passphrase") {
      if (modal == nullptr || modal->objectName() != "FrmPassword") {
        return false;
      }
      modal->findChild<QLineEdit*>("EdtPassword")->setText(aCommand.section(' ', 1));
      ClickLater(modal->findChild<QAbstractButton*>("BtnOK"));
      return true;
    }
    if (verb == "close-error") {
      if (modal == nullptr || modal->objectName() != "FrmErrorDetailDialog") {
        return false;
      }
      Log("error: " + modal->findChild<QLabel*>("LblErrortext")->text() + ": " +
          modal->findChild<QPlainTextEdit*>("Memo1")->toPlainText());
      ClickLater(modal->findChild<QAbstractButton*>("Button1"));
      return true;
    }
    if (modal != nullptr) {
      return false; // the window is busy with a dialog the script has not reached
    }
    if (verb == "wait-title") {
      auto* title = Find<QLabel>("txtstepinfo");
      return title != nullptr && title->text().contains(aCommand.section(' ', 1));
    }
    if (verb == "wait-enabled") {
      auto* button = Find<QAbstractButton>(object);
      return button != nullptr && button->isEnabled();
    }
    if (verb == "screenshot") {
      QWidget* main = MainWindow();
      return main != nullptr && main->grab().save(aCommand.section(' ', 1), "PNG");
    }
    if (verb == "set") {
      auto* edit = Find<QLineEdit>(object);
      if (edit != nullptr) {
        edit->setText(rest);
      }
      return edit != nullptr;
    }
    if (verb == "paste") {
      auto* box = Find<QPlainTextEdit>(object);
      QFile file(rest);
      if (box == nullptr || !file.open(QIODevice::ReadOnly)) {
        return false;
      }
      box->setPlainText(QString::fromUtf8(file.readAll()));
      return true;
    }
    if (verb == "check" || verb == "click") {
      auto* button = Find<QAbstractButton>(object);
      if (button == nullptr || !button->isEnabled()) {
        return false;
      }
      if (verb == "check") {
        button->setChecked(true);
      } else {
        ClickLater(button);
      }
      return true;
    }
    Log("script failed: unknown command '" + aCommand + "'");
    fCommands.clear();
    return true;
  }

  bool AnswerMessage(QMessageBox* aBox, const QString& aButton, const QString& aExpected) {
    if (aBox == nullptr) {
      return false;
    }
    Log("message: " + aBox->windowTitle() + ": " + aBox->text());
    if (!aExpected.isEmpty() && !aBox->text().contains(aExpected)) {
      Log("script failed: message without '" + aExpected + "'");
      fCommands.clear();
    }
    for (QAbstractButton* button : aBox->buttons()) {
      if (button->text().remove('&') == aButton) {
        ClickLater(button);
        return true;
      }
    }
    Log("script failed: no button '" + aButton + "'");
    fCommands.clear();
    return true;
  }

  QStringList fCommands;
  QTimer fTimer;
  int fWaited = 0;
  bool fBusy = false;
};

} // namespace

class OrvoE2eDriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")
public:
  QObject* create(const QString& aKey, const QString&) override {
    return aKey.compare("orvo_e2e_driver", Qt::CaseInsensitive) == 0 ? new Driver : nullptr;
  }
};

#include "DriverPlugin.moc"

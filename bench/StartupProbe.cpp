// A Qt generic plugin that the start-up benchmark loads into the program it
// measures (QT_QPA_GENERIC_PLUGINS=orvo_bench_probe): as soon as the wizard's
// window is on screen with step 1, or with ORVO_BENCH_PROBE_ANY any window,
// it writes the monotonic clock in nanoseconds to the file named by
// ORVO_BENCH_PROBE_OUT and ends the program's event loop. Nothing of this is
// built into the product.

#include <QApplication>
#include <QFile>
#include <QGenericPlugin>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <ctime>

namespace {

bool IsShown(QWidget* aWidget) {
  return aWidget->isVisible() && aWidget->windowHandle() != nullptr &&
         aWidget->windowHandle()->isExposed();
}

bool StepOneShown() {
  const bool anyWindow = qEnvironmentVariableIsSet("ORVO_BENCH_PROBE_ANY");
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!IsShown(top)) {
      continue;
    }
    if (anyWindow) {
      return true;
    }
    if (top->objectName() != "CertImportWizardMain") {
      continue;
    }
    auto* title = top->findChild<QLabel*>("txtstepinfo");
    return title != nullptr && title->text().startsWith("Step 1");
  }
  return false;
}

class Probe : public QObject {
public:
  Probe() {
    connect(&fTimer, &QTimer::timeout, this, [this] { Tick(); });
    fTimer.start(1);
  }

private:
  void Tick() {
    if (!StepOneShown()) {
      return;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    QFile out(qEnvironmentVariable("ORVO_BENCH_PROBE_OUT"));
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      out.write(QByteArray::number(static_cast<qint64>(now.tv_sec) * 1000000000LL + now.tv_nsec));
    }
    fTimer.stop();
    QApplication::exit(0);
  }

  QTimer fTimer;
};

} // namespace

class OrvoBenchProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe.json")
public:
  QObject* create(const QString& aKey, const QString&) override {
    return aKey.compare("orvo_bench_probe", Qt::CaseInsensitive) == 0 ? new Probe : nullptr;
  }
};

#include "StartupProbe.moc"

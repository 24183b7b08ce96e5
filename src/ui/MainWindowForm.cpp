#include "ui/MainWindowForm.h"

#include "ui/Fonts.h"

#include <QEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

// Resources of a static library must be registered by hand.
static void InitMainWindowResources() {
  Q_INIT_RESOURCE(mainwindow);
}

namespace orvo::ui {

namespace {

constexpr int kHeaderHeight = 97;
constexpr int kButtonBandHeight = 56;
const char* const kFrameProperty = "orvoHostFrame";

// The labels carry the window's navy colour value but are drawn transparent,
// and their text is black, as on the original design.
QLabel* MakeBandLabel(QWidget* parent, const char* name, const QString& text, const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setFont(font);
  label->setAttribute(Qt::WA_TranslucentBackground);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(palette);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAccessibleName(caption);
  button->setGeometry(geometry);
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

QWidget* MakeBand(QWidget* parent, const char* name) {
  auto* band = new QWidget(parent);
  band->setObjectName(QString::fromLatin1(name));
  band->setAutoFillBackground(true);
  return band;
}

} // namespace

MainWindowForm::MainWindowForm(QWidget* parent) : QWidget(parent) {
  InitMainWindowResources();
  setObjectName(QStringLiteral("CertImportWizardMain"));
  setWindowTitle(QStringLiteral("Orvo Certificate Importer"));
  setFont(TahomaFont(11));
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  BuildHeader();
  BuildClientPanel();
  BuildButtonBand();
  layout->addWidget(Panel1);
  layout->addWidget(PnlClient, 1);
  layout->addWidget(Panel2);
  setTabOrder(Panel1, Panel2);
  setTabOrder(Panel2, PnlClient);
  resize(kClientWidth, kClientHeight);
}

void MainWindowForm::BuildHeader() {
  Panel1 = MakeBand(this, "Panel1");
  Panel1->setFixedHeight(kHeaderHeight);
  Panel1->setBackgroundRole(QPalette::Base);

  JvImage2 = new QLabel(Panel1);
  JvImage2->setObjectName(QStringLiteral("JvImage2"));
  JvImage2->setGeometry(9, 21, 584, 34);
  JvImage2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  JvImage2->setPixmap(QPixmap(QStringLiteral(":/orvo/banner.png")));
  JvImage2->setAccessibleName(QStringLiteral("Orvo Certificate Importer"));

  txtstepinfo = MakeBandLabel(Panel1, "txtstepinfo", QString(), TahomaFont(13, true));
  txtstepinfo->move(13, 75);
}

void MainWindowForm::BuildButtonBand() {
  Panel2 = MakeBand(this, "Panel2");
  Panel2->setFixedHeight(kButtonBandHeight);

  LblVersion = MakeBandLabel(Panel2, "LblVersion", QStringLiteral("Version"), TahomaFont(11));
  LblVersion->move(13, 20);
  LblVersion->adjustSize();

  BtnNext = MakeButton(Panel2, "BtnNext", QStringLiteral("Next Step >"), QRect(750, 15, 75, 25));
  BtnBack = MakeButton(Panel2, "BtnBack", QStringLiteral("< Back"), QRect(662, 15, 75, 25));
  setTabOrder(BtnNext, BtnBack);

  fNextRightGap = kClientWidth - BtnNext->geometry().right() - 1;
  fBackRightGap = kClientWidth - BtnBack->geometry().right() - 1;
  Panel2->installEventFilter(this);
}

void MainWindowForm::BuildClientPanel() {
  PnlClient = new QWidget(this);
  PnlClient->setObjectName(QStringLiteral("PnlClient"));
  auto* layout = new QVBoxLayout(PnlClient);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
}

bool MainWindowForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Panel2 && event->type() == QEvent::Resize) {
    AnchorButtonsRight();
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindowForm::AnchorButtonsRight() {
  const int width = Panel2->width();
  BtnNext->move(width - fNextRightGap - BtnNext->width(), BtnNext->y());
  BtnBack->move(width - fBackRightGap - BtnBack->width(), BtnBack->y());
}

void MainWindowForm::HostPage(QWidget* page) {
  if (page == nullptr || page->parentWidget() == PnlClient) {
    return;
  }
  if (QWidget* current = HostedPage()) {
    ReturnPage(current);
  }
  page->setProperty(kFrameProperty,
                    QVariant::fromValue(static_cast<QObject*>(page->parentWidget())));
  page->setParent(PnlClient);
  PnlClient->layout()->addWidget(page);
  page->show();
}

void MainWindowForm::ReturnPage(QWidget* page) {
  if (page == nullptr || page->parentWidget() != PnlClient) {
    return;
  }
  PnlClient->layout()->removeWidget(page);
  auto* frame = qobject_cast<QWidget*>(page->property(kFrameProperty).value<QObject*>());
  page->setParent(frame);
  if (frame != nullptr) {
    page->setGeometry(frame->rect());
    page->show(); // shown inside its frame, which itself is never on screen
  }
}

QWidget* MainWindowForm::HostedPage() const {
  for (QObject* child : PnlClient->children()) {
    if (auto* widget = qobject_cast<QWidget*>(child)) {
      return widget;
    }
  }
  return nullptr;
}

} // namespace orvo::ui

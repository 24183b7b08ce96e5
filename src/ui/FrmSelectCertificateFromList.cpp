#include "ui/FrmSelectCertificateFromList.h"

#include "ui/Fonts.h"
#include "ui/UiParts.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::ui {

namespace {

constexpr int kButtonBandHeight = 33;

} // namespace

TdFrmSelectCertificateFromList::TdFrmSelectCertificateFromList(QWidget* aParent)
    : QDialog(aParent) {
  setObjectName(QStringLiteral("dFrmSelectCertificateFromList"));
  setWindowTitle(QStringLiteral("Select Certificate"));
  setFont(TahomaFont(11));
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setSizeGripEnabled(false);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Panel1 = new QWidget(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  TxtStepInfo = MakeAutoSizeLabel(
      Panel1, "TxtStepInfo",
      QStringLiteral(
          "More than one usable certificate was found. Please choose the certificate to import."),
      QPoint(24, 21), TahomaFont(13));
  // Not anchored: the list keeps its size when the window is resized.
  LBCerts = MakeListBox(Panel1, "LBCerts", QRect(24, 48, 713, 105),
                        QStringLiteral("Usable certificates"));

  Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  Panel2->setFixedHeight(kButtonBandHeight);
  Button2 = MakeButton(Panel2, "Button2", QStringLiteral("Select >"), QRect(576, 2, 75, 25));
  Button2->setDefault(true);
  Button1 = MakeButton(Panel2, "Button1", QStringLiteral("Cancel"), QRect(662, 2, 75, 25));

  layout->addWidget(Panel1, 1);
  layout->addWidget(Panel2);
  SetTabChain({LBCerts, Button1, Button2});
  resize(kDesignSize);

  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(LBCerts, &QListWidget::itemSelectionChanged, this, [this] { UpdateSelectButton(); });
}

void TdFrmSelectCertificateFromList::showEvent(QShowEvent* aEvent) {
  FormShow();
  QDialog::showEvent(aEvent);
}

void TdFrmSelectCertificateFromList::FormShow() {
  fSelected = false;
  fSelectedCertIndex = -1;
  LBCerts->clearSelection();
  LBCerts->setCurrentRow(-1);
  UpdateSelectButton();
}

// A confirmed choice must name a line: "Select >" (and Enter, which presses
// it) does nothing until one is highlighted.
void TdFrmSelectCertificateFromList::UpdateSelectButton() {
  Button2->setEnabled(!LBCerts->selectedItems().isEmpty());
}

void TdFrmSelectCertificateFromList::Button2Click() {
  const QList<QListWidgetItem*> selected = LBCerts->selectedItems();
  const int row = selected.isEmpty() ? -1 : LBCerts->row(selected.first());
  if (row < 0) {
    return;
  }
  fSelected = true;
  fSelectedCertIndex = row;
  accept();
}

void TdFrmSelectCertificateFromList::Button1Click() {
  reject();
}

} // namespace orvo::ui

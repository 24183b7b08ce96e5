#pragma once
// The layout of the wizard's main window: a title band with the banner and the
// step title, a button band with the version text and the Back/Next buttons,
// and the client panel between them that hosts the page of the current step.
// The window's behaviour lives in the wizard (TCertImportWizardMain).

#include <QWidget>

class QLabel;
class QPushButton;

namespace orvo::ui {

class MainWindowForm : public QWidget {
  Q_OBJECT
public:
  explicit MainWindowForm(QWidget* parent = nullptr);

  // Moves a step page into the client panel, where it fills the panel and
  // follows its size. The page's previous parent is remembered as its frame.
  void HostPage(QWidget* page);
  // Gives a hosted page back to the frame it came from; no effect otherwise.
  void ReturnPage(QWidget* page);
  // The page currently hosted in the client panel, or nullptr.
  QWidget* HostedPage() const;

  QWidget* Panel1 = nullptr;
  QWidget* Panel2 = nullptr;
  QWidget* PnlClient = nullptr;
  QPushButton* BtnNext = nullptr;
  QPushButton* BtnBack = nullptr;
  QLabel* JvImage2 = nullptr;
  QLabel* txtstepinfo = nullptr;
  QLabel* LblVersion = nullptr;

  static constexpr int kClientWidth = 848;
  static constexpr int kClientHeight = 488;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildHeader();
  void BuildButtonBand();
  void BuildClientPanel();
  void AnchorButtonsRight();

  int fNextRightGap = 0;
  int fBackRightGap = 0;
};

} // namespace orvo::ui

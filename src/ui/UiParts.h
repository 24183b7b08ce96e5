#pragma once
// Building blocks shared by the step pages and dialogs: controls placed at
// their design position (pixels at 96 dpi) with their object and accessible
// names, edge anchoring for pages that follow the window's size, the memo's
// "Select all" context menu, lines of a list box that carry an object, and
// the trimming rule of the system (codes 0 to 32 at both ends).

#include <QRect>
#include <QSize>
#include <QString>

#include <initializer_list>
#include <vector>

class QCheckBox;
class QFont;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWidget;

namespace orvo::ui {

// A label of fixed text format (plain text: texts from certificates are never
// read as markup).
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                  const QFont& font);
// A label that sizes itself to its text, placed with its top-left corner. It
// follows later texts too: QLabel::setText asks its parent for a new layout,
// and the label answers that request by fitting itself to the text.
QLabel* MakeAutoSizeLabel(QWidget* parent, const char* name, const QString& text, QPoint topLeft,
                          const QFont& font);
QRadioButton* MakeRadio(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QFont& font);
QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QFont& font);
// A single-line edit of fixed height.
QLineEdit* MakeEdit(QWidget* parent, const char* name, QRect geometry,
                    const QString& accessibleName);
QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QString& accessibleName = {});
// A multi-line edit with a vertical scroll bar that wraps long lines.
QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, QRect geometry,
                         const QString& accessibleName);
// A list box whose lines are 13 pixels high.
QListWidget* MakeListBox(QWidget* parent, const char* name, QRect geometry,
                         const QString& accessibleName);

// The context menu of a memo: it replaces the standard edit menu and holds
// one default item "Select &all" with the shortcut Ctrl+A. The caller
// connects the item and handles the key (see IsSelectAllKey).
struct SelectAllMenu {
  QMenu* menu = nullptr;
  QAction* item = nullptr;
};
SelectAllMenu AttachSelectAllMenu(QPlainTextEdit* memo, const char* menuName, const char* itemName);
bool IsSelectAllKey(const QKeyEvent& event);

// Lines of a list box that carry the object they stand for (not owned).
void AddListLine(QListWidget* list, const QString& text, void* object);
void* ListLineObject(const QListWidget* list, int row);
template <typename T> T* ListLineObjectAs(const QListWidget* list, int row) {
  return static_cast<T*>(ListLineObject(list, row));
}

// Sets the tab order of the controls in the given order.
void SetTabChain(std::initializer_list<QWidget*> controls);

// Removes characters with codes 0 to 32 at both ends.
QString TrimControlChars(const QString& text);

// Edge anchoring of controls on a panel laid out at a design size: a control
// anchored left and right widens with the panel, one anchored right only
// moves with the right edge; the same for top and bottom.
enum Anchor : unsigned { AkLeft = 1u, AkTop = 2u, AkRight = 4u, AkBottom = 8u };

class TAnchors {
public:
  explicit TAnchors(QSize designSize) : fDesignSize(designSize) {}
  // Records the control's current geometry as its design geometry.
  void Add(QWidget* control, unsigned anchors);
  void Apply(QSize panelSize) const;

private:
  struct Entry {
    QWidget* control;
    unsigned anchors;
    QRect design;
  };
  QSize fDesignSize;
  std::vector<Entry> fEntries;
};

} // namespace orvo::ui

#include "ui/UiParts.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>

namespace orvo::ui {

namespace {

constexpr int kListItemHeight = 13;

// Lines of a list box are 13 pixels high whatever the font's own height.
class FixedHeightDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kListItemHeight);
    return size;
  }
};

// Fits a label to its text whenever its parent is asked to lay out again
// (which QLabel::setText does) or is shown.
class SizeToText : public QObject {
public:
  explicit SizeToText(QLabel* label) : QObject(label), fLabel(label) {}

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Show) {
      fLabel->adjustSize();
    }
    return QObject::eventFilter(watched, event);
  }

private:
  QLabel* fLabel;
};

QString NameOf(const char* name) {
  return QString::fromLatin1(name);
}

// A caption's access-key marker is no part of the name a screen reader says.
QString CaptionWithoutAccessKey(QString caption) {
  return caption.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
      .remove(QLatin1Char('&'))
      .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

// Condenses the control's font until its text fits the design width: the
// layouts are drawn for Tahoma, and a wider substitute face would otherwise
// cut captions off or run into the control beside them. The pixel size stays;
// the face is not condensed below kMinStretch percent.
constexpr int kMinStretch = 80;

void CondenseToFit(QWidget* control, int width) {
  QFont font = control->font();
  for (int stretch = 100; control->sizeHint().width() > width && stretch > kMinStretch;) {
    stretch = qMax(kMinStretch, stretch * width / control->sizeHint().width());
    font.setStretch(stretch);
    control->setFont(font);
  }
}

} // namespace

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                  const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(NameOf(name));
  label->setTextFormat(Qt::PlainText);
  label->setFont(font);
  label->setGeometry(geometry);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // With a font wider than the design font the text still shows in full.
  CondenseToFit(label, geometry.width());
  if (label->sizeHint().width() > geometry.width()) {
    label->resize(label->sizeHint().width(), geometry.height());
  }
  return label;
}

QLabel* MakeAutoSizeLabel(QWidget* parent, const char* name, const QString& text, QPoint topLeft,
                          const QFont& font) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(NameOf(name));
  label->setTextFormat(Qt::PlainText);
  label->setFont(font);
  label->move(topLeft);
  label->adjustSize();
  if (parent != nullptr) {
    parent->installEventFilter(new SizeToText(label));
  }
  return label;
}

QRadioButton* MakeRadio(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QFont& font) {
  auto* radio = new QRadioButton(caption, parent);
  radio->setObjectName(NameOf(name));
  radio->setAccessibleName(CaptionWithoutAccessKey(caption));
  radio->setFont(font);
  radio->setGeometry(geometry);
  CondenseToFit(radio, geometry.width());
  return radio;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QFont& font) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(NameOf(name));
  box->setAccessibleName(CaptionWithoutAccessKey(caption));
  box->setFont(font);
  box->setGeometry(geometry);
  CondenseToFit(box, geometry.width());
  return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, QRect geometry,
                    const QString& accessibleName) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(NameOf(name));
  edit->setAccessibleName(accessibleName);
  edit->setGeometry(geometry);
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                        const QString& accessibleName) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(NameOf(name));
  button->setAccessibleName(accessibleName.isEmpty() ? CaptionWithoutAccessKey(caption)
                                                     : accessibleName);
  button->setGeometry(geometry);
  return button;
}

QPlainTextEdit* MakeMemo(QWidget* parent, const char* name, QRect geometry,
                         const QString& accessibleName) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(NameOf(name));
  memo->setAccessibleName(accessibleName);
  memo->setGeometry(geometry);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  return memo;
}

QListWidget* MakeListBox(QWidget* parent, const char* name, QRect geometry,
                         const QString& accessibleName) {
  auto* list = new QListWidget(parent);
  list->setObjectName(NameOf(name));
  list->setAccessibleName(accessibleName);
  list->setGeometry(geometry);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setUniformItemSizes(true);
  list->setItemDelegate(new FixedHeightDelegate(list));
  return list;
}

SelectAllMenu AttachSelectAllMenu(QPlainTextEdit* memo, const char* menuName,
                                  const char* itemName) {
  SelectAllMenu result;
  result.menu = new QMenu(memo);
  result.menu->setObjectName(NameOf(menuName));
  result.item = result.menu->addAction(QStringLiteral("Select &all"));
  result.item->setObjectName(NameOf(itemName));
  result.item->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
  // The shortcut is shown in the menu; the key itself is handled by the
  // memo's owner, so that it runs the same handler as the menu item.
  result.item->setShortcutContext(Qt::WidgetShortcut);
  result.menu->setDefaultAction(result.item);
  memo->setContextMenuPolicy(Qt::CustomContextMenu);
  QMenu* menu = result.menu;
  QObject::connect(memo, &QWidget::customContextMenuRequested, menu,
                   [memo, menu](QPoint pos) { menu->popup(memo->viewport()->mapToGlobal(pos)); });
  return result;
}

bool IsSelectAllKey(const QKeyEvent& event) {
  return event.matches(QKeySequence::SelectAll) ||
         (event.key() == Qt::Key_A && event.modifiers() == Qt::ControlModifier);
}

void AddListLine(QListWidget* list, const QString& text, void* object) {
  auto* item = new QListWidgetItem(text, list);
  item->setData(Qt::UserRole, QVariant::fromValue(object));
}

void* ListLineObject(const QListWidget* list, int row) {
  const QListWidgetItem* item = list->item(row);
  return item == nullptr ? nullptr : item->data(Qt::UserRole).value<void*>();
}

void SetTabChain(std::initializer_list<QWidget*> controls) {
  QWidget* previous = nullptr;
  for (QWidget* control : controls) {
    if (previous != nullptr) {
      QWidget::setTabOrder(previous, control);
    }
    previous = control;
  }
}

QString TrimControlChars(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text.at(first).unicode() <= 32) {
    ++first;
  }
  while (last > first && text.at(last - 1).unicode() <= 32) {
    --last;
  }
  return text.mid(first, last - first);
}

void TAnchors::Add(QWidget* control, unsigned anchors) {
  fEntries.push_back(Entry{control, anchors, control->geometry()});
}

void TAnchors::Apply(QSize panelSize) const {
  const int dx = panelSize.width() - fDesignSize.width();
  const int dy = panelSize.height() - fDesignSize.height();
  for (const Entry& entry : fEntries) {
    QRect geometry = entry.design;
    if ((entry.anchors & AkRight) != 0) {
      if ((entry.anchors & AkLeft) != 0) {
        geometry.setWidth(qMax(0, geometry.width() + dx));
      } else {
        geometry.moveLeft(geometry.left() + dx);
      }
    }
    if ((entry.anchors & AkBottom) != 0) {
      if ((entry.anchors & AkTop) != 0) {
        geometry.setHeight(qMax(0, geometry.height() + dy));
      } else {
        geometry.moveTop(geometry.top() + dy);
      }
    }
    entry.control->setGeometry(geometry);
  }
}

} // namespace orvo::ui

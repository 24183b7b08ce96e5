#pragma once
// Helpers of the widget tests: acting on a modal dialog from inside its own
// event loop, and the checks every page and dialog must pass.

#include <QApplication>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>

namespace orvo::test {

// Runs aAction with the active modal widget as soon as the event loop of the
// dialog about to be shown runs (the dialog is shown by then).
inline void WhenModalShown(std::function<void(QWidget*)> aAction) {
  QTimer::singleShot(0, qApp, [aAction] { aAction(QApplication::activeModalWidget()); });
}

// Closes whatever modal dialog is still open after a few seconds, so that a
// failing test cannot hang; the guard ends with the test.
class ModalGuard {
public:
  ModalGuard() {
    QTimer::singleShot(5000, &fContext, [] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        ADD_FAILURE() << "a modal dialog was left open: " << modal->objectName().toStdString();
        modal->close();
      }
    });
  }

private:
  QObject fContext;
};

// The next control that Tab moves to from aControl (the inner parts of a
// compound control such as a list's viewport are skipped).
inline QWidget* NextTabStop(QWidget* aControl) {
  for (QWidget* next = aControl->nextInFocusChain(); next != aControl;
       next = next->nextInFocusChain()) {
    if ((next->focusPolicy() & Qt::TabFocus) != 0 && !aControl->isAncestorOf(next)) {
      return next;
    }
  }
  return nullptr;
}

// Each named control exists under aRoot, and each that can take the focus has
// an accessible name.
inline void ExpectNamedControls(const QWidget& aRoot, std::initializer_list<const char*> aNames) {
  for (const char* name : aNames) {
    const auto* control = aRoot.findChild<QWidget*>(QString::fromLatin1(name));
    ASSERT_NE(control, nullptr) << name;
    if (control->focusPolicy() != Qt::NoFocus) {
      EXPECT_FALSE(control->accessibleName().isEmpty()) << name;
    }
  }
}

} // namespace orvo::test

#pragma once
// What the application does with an error that leaves a handler uncaught:
// the handler ends, the message is shown in an error box titled with the
// application's title, and the message loop goes on with the window as it is.

#include <QString>

#include <functional>

namespace orvo {

namespace ui {
class ModalUi;
}

// The message as the error box shows it: a full stop is appended when the
// last character's code is above 46 (the code of '.'); so "Failed" and
// "Error 5" gain one, "Failed." and "Failed!" do not.
QString ApplicationErrorText(const QString& aMessage);

// The title of the application's error box: the executable's name, since the
// program sets no title of its own.
QString ApplicationTitle();

// Runs a handler; an exception that escapes it is shown through the modal
// seam and swallowed, so that it never crosses Qt's event loop.
void RunGuarded(ui::ModalUi& aModal, const std::function<void()>& aHandler);

} // namespace orvo

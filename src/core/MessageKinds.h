#pragma once
// The kinds of message and the buttons that the core's questions and notices
// carry. The window's modal seam uses the same types, so a question passes to
// a message box as it is.

namespace orvo::core {

enum class MsgKind { Error, Warning, Information, Confirmation };

// Buttons of a question, notice or message box; a set is a bitwise or of
// them.
enum MsgButton : unsigned {
  MbNone = 0,
  MbOk = 1u << 0,
  MbCancel = 1u << 1,
  MbYes = 1u << 2,
  MbNo = 1u << 3,
  MbAbort = 1u << 4,
  MbRetry = 1u << 5,
  MbIgnore = 1u << 6,
};
using MsgButtons = unsigned;

} // namespace orvo::core

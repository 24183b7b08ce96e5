#pragma once
// Fonts of the wizard's windows: Tahoma where it is installed, else the
// platform's sans-serif face, always at the given character height in pixels
// (the layouts are drawn at 96 dpi; Qt scales pixel sizes on high-dpi screens).

#include <QFont>

namespace orvo::ui {

QFont TahomaFont(int pixelHeight, bool bold = false);

} // namespace orvo::ui

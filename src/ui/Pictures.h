#pragma once
// The pictures of the step pages and dialogs, drawn by
// resources/draw_pictures.sh and compiled in as Qt resources.

#include <QPixmap>

namespace orvo::ui {

// Indices of the 16 x 16 status pictures of the verification page.
enum StatusPicture : int { SpPending = 0, SpPassed = 1, SpFailed = 2 };
inline constexpr int kStatusPictureCount = 3;

// Grey square with a question mark, green square with a tick, red square
// with two exclamation marks. An index out of range gives a null pixmap.
QPixmap StatusPixmap(int index);

// The round red error symbol with a white X in a silver ring (150 x 149),
// on a transparent background.
QPixmap ErrorSymbolPixmap();

} // namespace orvo::ui

#include "ui/Pictures.h"

#include <QString>

#include <array>

// Resources of a static library must be registered by hand, outside any
// namespace.
static void InitPictureResources() {
  Q_INIT_RESOURCE(pictures);
}

namespace orvo::ui {

namespace {

QPixmap LoadPicture(const char* resource) {
  static const bool registered = [] {
    InitPictureResources();
    return true;
  }();
  (void)registered;
  return QPixmap(QString::fromLatin1(resource));
}

} // namespace

QPixmap StatusPixmap(int index) {
  static constexpr std::array<const char*, kStatusPictureCount> kNames = {
      ":/orvo/status_pending.png", ":/orvo/status_passed.png", ":/orvo/status_failed.png"};
  if (index < 0 || index >= kStatusPictureCount) {
    return {};
  }
  return LoadPicture(kNames[static_cast<std::size_t>(index)]);
}

QPixmap ErrorSymbolPixmap() {
  return LoadPicture(":/orvo/error_symbol.png");
}

} // namespace orvo::ui

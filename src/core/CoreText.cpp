#include "core/CoreText.h"

namespace orvo {

QString TrimControls(const QString& aText) {
  qsizetype begin = 0;
  qsizetype end = aText.size();
  while (begin < end && aText.at(begin).unicode() <= 32) {
    ++begin;
  }
  while (end > begin && aText.at(end - 1).unicode() <= 32) {
    --end;
  }
  return aText.mid(begin, end - begin);
}

QString WithTrailingSeparator(const QString& aFolder) {
  return aFolder.endsWith(QLatin1Char('/')) ? aFolder : aFolder + QLatin1Char('/');
}

QString ReasonText(const std::vector<std::string>& aLines) {
  QString text = QStringLiteral("Reason(s):");
  for (const std::string& line : aLines) {
    text += ToQ(line) + QStringLiteral("\r\n");
  }
  return text;
}

QString LinesWithCrLf(const QString& aText) {
  if (aText.isEmpty()) {
    return {};
  }
  QString normalized = aText;
  normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  normalized.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QStringList lines = normalized.split(QLatin1Char('\n'));
  if (normalized.endsWith(QLatin1Char('\n'))) {
    lines.removeLast();
  }
  return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

} // namespace orvo

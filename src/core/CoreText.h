#pragma once
// Text helpers of the import core: conversion between Qt's and the model's UTF-8
// strings, trimming as the wizard does it, and reason lists as shown.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace orvo {

inline std::string ToStd(const QString& aText) {
  return aText.toUtf8().toStdString();
}
inline QString ToQ(const std::string& aText) {
  return QString::fromUtf8(aText);
}

// Removes the characters with codes 0 to 32 at both ends.
QString TrimControls(const QString& aText);

// The folder with a trailing '/'.
QString WithTrailingSeparator(const QString& aFolder);

// "Reason(s):" immediately followed by the lines, each ended by CR LF.
QString ReasonText(const std::vector<std::string>& aLines);

// The lines of an edit's text, each ended by CR LF.
QString LinesWithCrLf(const QString& aText);

} // namespace orvo

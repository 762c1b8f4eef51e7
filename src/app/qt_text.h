// Texts cross between the core (8-bit strings, as file names are on this
// system) and Qt (UTF-16) here, in the local 8-bit encoding.
#pragma once

#include <QString>
#include <string>

namespace velloquin {

inline QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text) {
  QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace velloquin

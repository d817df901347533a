#include "gui/Hangul.h"

#include <QFontDatabase>
#include <QStringList>
#include <array>
#include <utility>

namespace veska::gui {

namespace {

bool HasHangul(const QString& text) {
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 0xAC00 && u <= 0xD7A3) || (u >= 0x1100 && u <= 0x11FF) ||
        (u >= 0x3130 && u <= 0x318F)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool HangulFontAvailable() {
  // Asked once: fonts installed while the program runs are not picked up anyway.
  static const bool available = !QFontDatabase::families(QFontDatabase::Korean).isEmpty();
  return available;
}

QString ReadableText(const QString& text, bool hangulFont) {
  if (hangulFont || !HasHangul(text)) return text;
  static const std::array<std::pair<const char16_t*, const char16_t*>, 4> kEnglish = {{
      {u"VeskaDownloader 정보(&A)...", u"&About VeskaDownloader..."},
      {u"VeskaDownloader 정보", u"About VeskaDownloader"},
      {u"VeskaDownloader 버전 1.0", u"VeskaDownloader Version 1.0"},
      {u"확인", u"OK"},
  }};
  for (const auto& [korean, english] : kEnglish) {
    if (text == QString::fromUtf16(korean)) return QString::fromUtf16(english);
  }
  return text;
}

QString ReadableText(const QString& text) {
  return ReadableText(text, HangulFontAvailable());
}

}  // namespace veska::gui

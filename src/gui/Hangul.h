#pragma once

#include <QString>

namespace veska::gui {

// True when some installed font draws Korean (Hangul) text.
[[nodiscard]] bool HangulFontAvailable();

// The program's few Korean captions (the about box and its menu item) in English when no font
// can draw them, so that they never show as empty boxes; every other text as it is.
[[nodiscard]] QString ReadableText(const QString& text, bool hangulFont);
[[nodiscard]] QString ReadableText(const QString& text);

}  // namespace veska::gui

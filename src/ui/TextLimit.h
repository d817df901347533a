#pragma once

#include <cstddef>

namespace veska::ui {

// How many leading characters a log that has grown past `limit` drops. It drops down to three
// quarters of the limit in one go, so that a long session trims once in a great while instead
// of on every append, and it cuts after a line break when one is near so the pane starts with a
// whole line. 0 when the text is within the limit or no limit is set.
template <typename Text>
[[nodiscard]] std::size_t OldestTextToDrop(const Text& text, std::size_t limit) {
  const auto size = static_cast<std::size_t>(text.size());
  if (limit == 0 || size <= limit) return 0;
  const std::size_t keep = limit - limit / 4;
  std::size_t cut = size - keep;
  // Look a little further for a line end; a log of one endless line still trims.
  const std::size_t lookahead = limit / 16;
  for (std::size_t i = cut; i < size && i < cut + lookahead; ++i) {
    if (text[i] == '\n') return i + 1;
  }
  return cut;
}

}  // namespace veska::ui

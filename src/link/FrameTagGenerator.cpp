#include "link/FrameTagGenerator.h"

namespace veska::link {

FrameTagGenerator::FrameTagGenerator() {
  // The seed spreads over the state through the minimal-standard generator (16807 modulo
  // 2^31 - 1, computed without overflow by Schrage's method) ...
  std::int32_t word = 1;
  words_[0] = static_cast<std::uint32_t>(word);
  for (std::size_t i = 1; i < kDegree; ++i) {
    const std::int32_t hi = word / 127773;
    const std::int32_t lo = word % 127773;
    word = 16807 * lo - 2836 * hi;
    if (word < 0) word += 2147483647;
    words_[i] = static_cast<std::uint32_t>(word);
  }
  // ... and the first ten rounds of output are thrown away, as the C library does.
  for (std::size_t i = 0; i < 10 * kDegree; ++i) (void)Next();
}

std::int32_t FrameTagGenerator::Next() {
  words_[front_] += words_[rear_];
  const std::uint32_t value = words_[front_] >> 1;
  front_ = (front_ + 1) % kDegree;
  rear_ = (rear_ + 1) % kDegree;
  return static_cast<std::int32_t>(value);
}

}  // namespace veska::link

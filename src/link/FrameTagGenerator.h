#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace veska::link {

// The frame-tag source of one session: the additive-feedback generator of the GNU C library's
// rand() in its default configuration (31 words of state, taps 3 and 31, seeded with 1 as an
// unseeded rand() is), so a session sends exactly the tags the single-port tool always sent,
// while two sessions in one process neither share a sequence nor race on one. Written out here
// rather than borrowed from the C library because the Windows build has no such generator.
//
// Not thread-safe: a session's operations run one at a time.
class FrameTagGenerator {
 public:
  FrameTagGenerator();

  // The next value, 0 ... 2147483647, as rand() would return it.
  [[nodiscard]] std::int32_t Next();

 private:
  static constexpr std::size_t kDegree = 31;
  static constexpr std::size_t kSeparation = 3;

  std::array<std::uint32_t, kDegree> words_{};
  std::size_t front_ = kSeparation;
  std::size_t rear_ = 0;
};

}  // namespace veska::link

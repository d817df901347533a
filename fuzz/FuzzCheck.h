#pragma once

#include <cstdio>
#include <cstdlib>

namespace veska::fuzz {

// A promise broken: named on standard error, then the abort that the fuzzer (and the replay
// test) count as a fault.
inline void Check(bool holds, const char* target, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "%s fuzz: %s\n", target, what);
  std::abort();
}

}  // namespace veska::fuzz

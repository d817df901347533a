#pragma once

#include <cstdio>
#include <memory>

namespace veska::link {

// A C stream that closes itself. Every layer that streams a file on the PC (the CRC-32, the
// image transfer, the read-back, the dump's and the Explorer's copies) holds it this way.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace veska::link

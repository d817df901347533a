#pragma once

#include <cstdio>
#include <string>

namespace veska::cli {

// A session's standard output or error, captured in a temporary file.
class Captured {
 public:
  Captured() : file_(std::tmpfile()) {}
  ~Captured() { std::fclose(file_); }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;
  std::FILE* File() { return file_; }
  // Everything written so far.
  std::string Text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
      text.append(buffer, n);
    }
    return text;
  }

 private:
  std::FILE* file_;
};

}  // namespace veska::cli

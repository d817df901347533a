#include "link/Sinks.h"

#include <cstdio>

namespace veska::link {

namespace {

class StdoutSink final : public DiagnosticSink {
 public:
  void Diagnostic(std::string_view /*portName*/, std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
};

}  // namespace

DiagnosticSink& StdoutDiagnostics() {
  static StdoutSink sink;
  return sink;
}

}  // namespace veska::link

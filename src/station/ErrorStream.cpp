#include "station/ErrorStream.h"

namespace veska::station {

void ErrorStream::Say(app::Said::Kind kind, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
  if (observer_) observer_(app::Said{kind, std::string(text)});
}

void ErrorStream::Box(std::string_view caption, std::string_view text, unsigned style, int answer,
                      std::string_view applicationName) {
  const std::string shown = caption.empty() ? std::string(applicationName) : std::string(caption);
  std::fprintf(file_, "[%s] %.*s\n", shown.c_str(), static_cast<int>(text.size()), text.data());
  std::fflush(file_);
  if (observer_) {
    observer_(app::MessageShown{std::string(caption), std::string(text), style, answer});
  }
}

}  // namespace veska::station

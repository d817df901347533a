#include "app/Settings.h"

#include <cstdlib>

#include "link/PortNames.h"

namespace veska::app {

std::map<std::string, std::string> Settings::PortOverrides() const {
  std::map<std::string, std::string> overrides;
  for (const auto& [key, value] : profile_.GetSection(PORTS_SECTION)) {
    const int number = link::ParseComName(key);
    if (number == 0 || value.empty()) continue;
    overrides[link::ComName(number)] = value;
  }
  return overrides;
}

std::filesystem::path UserSettingsFile(std::string_view applicationName) {
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  const std::string name(applicationName);
  return base / name / (name + ".INI");
}

}  // namespace veska::app

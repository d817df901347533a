#include "app/Settings.h"

#include <cstdlib>

namespace veska::app {

std::map<std::string, std::string> Settings::PortOverrides() const {
  std::map<std::string, std::string> overrides;
  for (const auto& [key, value] : profile_.GetSection(PORTS_SECTION)) {
    if (key.size() < 4 || key.size() > 5 || value.empty()) continue;
    const bool com = (key[0] == 'C' || key[0] == 'c') && (key[1] == 'O' || key[1] == 'o') &&
                     (key[2] == 'M' || key[2] == 'm');
    if (!com) continue;
    int number = 0;
    bool digits = true;
    for (std::size_t i = 3; i < key.size(); ++i) {
      if (key[i] < '0' || key[i] > '9')
        digits = false;
      else
        number = number * 10 + (key[i] - '0');
    }
    if (!digits || number < 1 || number > 50) continue;
    overrides["COM" + std::to_string(number)] = value;
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

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

#if defined(_WIN32)

std::filesystem::path UserSettingsFile(std::string_view applicationName) {
  // The roaming application data folder, read as UTF-16 so that a user name outside the ANSI
  // code page still gives a usable path.
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (appData == nullptr || appData[0] == L'\0') return {};
  const std::string name(applicationName);
  return std::filesystem::path(appData) / name / (name + ".INI");
}

#else

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

#endif

std::filesystem::path DesktopSettingsFile(std::string_view applicationName,
                                          const std::filesystem::path& given) {
  if (!given.empty()) return given;
  std::filesystem::path file = UserSettingsFile(applicationName);
  if (file.empty()) file = std::string(applicationName) + ".INI";
  return file;
}

}  // namespace veska::app

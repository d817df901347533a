#include "station/RunOptions.h"

#include "app/Settings.h"
#include "link/FilePath.h"

namespace veska::station {

std::filesystem::path SettingsFileOf(const RunOptions& options) {
  const std::filesystem::path settingsFile = !options.settings.empty()
                                                 ? link::PathOf(options.settings)
                                                 : app::UserSettingsFile(kApplicationName);
  return settingsFile.empty() ? std::filesystem::path("VeskaDownloader.INI") : settingsFile;
}

}  // namespace veska::station

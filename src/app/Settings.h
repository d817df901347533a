#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/ProfileFile.h"

namespace veska::app {

// Section and keys of the settings file.
inline constexpr std::string_view SETTINGS_SECTION = "Setting";
inline constexpr std::string_view PORTS_SECTION = "Ports";  // "COMn=/dev/..." overrides
// A bench's slots: "Slot1=usb:1-1.3", each slot's place (a COM name, a device path, a hub port).
inline constexpr std::string_view BENCH_SECTION = "Bench";
inline constexpr std::string_view KEY_UART_PORT = "UartPort";
inline constexpr std::string_view KEY_USB_PORT = "UsbPort";
inline constexpr std::string_view KEY_BAUD_RATE = "m_nBaudRate";
inline constexpr std::string_view KEY_APPS = "m_strAPPSFileName";
inline constexpr std::string_view KEY_COMMS = "m_strCOMMSFileName";
inline constexpr std::string_view KEY_SYS_IND = "m_strSysIndFileName";
inline constexpr std::string_view KEY_SYS_DEP = "m_strSysDepFileName";
inline constexpr std::string_view KEY_SPINNER = "m_strSpinnerFileName";
inline constexpr std::string_view KEY_PATCH = "m_strPatchFileName";
inline constexpr std::string_view KEY_TFS = "m_strOgmPath";
inline constexpr std::string_view KEY_DB2 = "m_strOgmPath_DB2";
inline constexpr std::string_view KEY_NANDPREBOOT = "m_strNandprebootFileName";
inline constexpr std::string_view KEY_BOOT1A = "m_strBoot1FileName";
inline constexpr std::string_view KEY_BOOT1B = "m_strBoot1bFileName";
inline constexpr std::string_view KEY_BOOT2 = "m_strBoot2FileName";
inline constexpr std::string_view KEY_RSRC = "m_strRsrcFileName";
// Where the phones' records go: a database file, a server's address or "none" (not set: the
// records database beside the settings file).
inline constexpr std::string_view KEY_RECORDS = "Records";

// The program's remembered choices: section "Setting" of the settings file, which is named
// after the executable ("VeskaDownloader.INI"). The file is read once, at construction; each
// write changes this object's values and (ReadWrite) that one key in the file, leaving what
// other windows wrote meanwhile in place. Write failures are not reported to the user: the
// choice still holds for this run. The command line uses ReadOnly: its choices last one run.
class Settings {
 public:
  explicit Settings(std::filesystem::path file, SettingsAccess access = SettingsAccess::ReadWrite)
      : profile_(std::move(file), access) {}

  [[nodiscard]] int GetInt(std::string_view key, int fallback) const {
    return profile_.GetInt(SETTINGS_SECTION, key, fallback);
  }
  [[nodiscard]] std::string GetString(std::string_view key) const {
    return profile_.GetString(SETTINGS_SECTION, key, "");
  }
  bool WriteInt(std::string_view key, int value) const {
    return profile_.WriteInt(SETTINGS_SECTION, key, value);
  }
  bool WriteString(std::string_view key, std::string_view value) const {
    return profile_.WriteString(SETTINGS_SECTION, key, value);
  }
  // A key of another section (the bench's slots).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) const {
    return profile_.WriteString(section, key, value);
  }

  // Another section's keys with their values, in file order (the bench's [Bench]), and a write
  // of one of its keys, by the same rules as the remembered choices.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> Section(
      std::string_view section) const {
    return profile_.GetSection(section);
  }
  bool WriteSectionString(std::string_view section, std::string_view key,
                          std::string_view value) const {
    return profile_.WriteString(section, key, value);
  }

  // Reads section "Ports": keys "COM1" ... "COM50" (any case) with a non-empty device path.
  // Other keys are ignored.
  [[nodiscard]] std::map<std::string, std::string> PortOverrides() const;

  [[nodiscard]] const std::filesystem::path& File() const { return profile_.File(); }

 private:
  ProfileFile profile_;
};

// The settings file in the user's configuration folder: $XDG_CONFIG_HOME (or ~/.config)
// /<name>/<name>.INI on Linux, %APPDATA%\<name>\<name>.INI on Windows, where <name> is the
// executable's base name. The hosts call this; the dialog only ever sees the resulting path.
// Empty when the variables are not set.
[[nodiscard]] std::filesystem::path UserSettingsFile(std::string_view applicationName);

// The desktop programs' settings file: `given` when the caller names one, else the user's
// (UserSettingsFile), else <name>.INI in the working folder when the user has no such folder.
[[nodiscard]] std::filesystem::path DesktopSettingsFile(std::string_view applicationName,
                                                        const std::filesystem::path& given);

}  // namespace veska::app

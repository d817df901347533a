#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace veska::station {

// The program's name where the user sees it: the settings folder, message boxes' captions.
inline constexpr const char* kApplicationName = "VeskaDownloader";

// What one run of the steps is asked to do: the port, the link and its rate, the files, the
// steps and how the run answers and shows. The command line fills it from its words, a bench
// window from its plan.
struct RunOptions {
  std::string port;      // "COMn" or a device path; empty: the remembered port
  std::string baud;      // "115K", "460K", "921K", "3M"; empty: the remembered rate
  std::string link;      // "uart", "usb"; empty: UART, as the window starts
  bool yes = false;      // answer questions Yes
  bool json = false;     // --json: ports, checksum and a closing summary line as JSON
  std::string settings;  // the settings file; empty: the user's own
  std::string records;   // a database file, a server's address, "none"; empty: the default
  std::string station;   // this PC's name in the records; empty: the host name
  std::string release;
  std::string unitSerial;    // the unit's serial for its record (one phone); "" none
  std::string operatorName;  // who serves the phones, for their records; "" none
  std::string progress;      // "bar", "plain", "none"; empty: bar on a terminal, else plain
  int timeout = -1;          // seconds a connected phone may stay silent; -1: the settings'
  std::map<std::string, std::string> images;  // image option name ("apps", ...) -> path
  std::vector<std::string> steps;             // the steps and their own arguments, in order
};

// The settings file a run reads: its own, else the user's.
[[nodiscard]] std::filesystem::path SettingsFileOf(const RunOptions& options);

}  // namespace veska::station

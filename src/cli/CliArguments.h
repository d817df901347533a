#pragma once

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace veska::cli {

// The program's name where the user sees it: the settings folder, message boxes' captions.
inline constexpr const char* kApplicationName = "VeskaDownloader";

// What the command line asked for.
struct CliArguments {
  std::string port;  // "COMn" or a device path; empty: the remembered port
  // Every --port given; more than one (or --repeat, or --report) makes a bench run.
  std::vector<std::string> ports;
  std::string logDir;    // --log-dir: where a bench run keeps each port's log
  std::string logSplit;  // --log-split: "daily" starts each port's log anew every day
  std::string report;    // --report: the bench report's JSON file
  bool repeat = false;   // --repeat: each port runs the steps again for the next phone
  std::string baud;      // "115K", "460K", "921K", "3M"; empty: the remembered rate
  std::string link;      // "uart", "usb"; empty: UART, as the window starts
  bool yes = false;      // answer questions Yes
  bool json = false;     // --json: ports, checksum and a closing summary line as JSON
  std::string settings;
  std::string records;  // --records: a database file, a server's address, "none"; empty: default
  std::string station;  // --station: this PC's name in the records; empty: the host name
  std::string release;
  std::string progress;  // --progress: "bar", "plain", "none"; empty: bar on a terminal, else plain
  int timeout = -1;      // --timeout: seconds a connected phone may stay silent; -1: the settings'
  std::map<std::string, std::string> images;  // image option name ("apps", ...) -> path
  std::vector<std::string> steps;             // the steps and their own arguments, in order
};

// Parses argv. Returns -1 to go on, or the exit status to end with (0 after --help, 2 for a
// usage error, with the message already on `err`).
int ParseArguments(int argc, const char* const* argv, CliArguments& arguments, std::FILE* err);

// The settings file a run reads: --settings, else the user's own.
[[nodiscard]] std::filesystem::path SettingsFileOf(const CliArguments& arguments);

}  // namespace veska::cli

#include "station/PortFiles.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstring>
#include <set>
#include <string_view>

#include "app/FileReplace.h"
#include "fs/Listing.h"
#include "link/FilePath.h"
#include "station/StepTable.h"
#include "ui/PathSeparators.h"

namespace veska::station {

std::string LogFileName(const std::string& port) {
  std::string name;
  for (const char c : port) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-';
    name += plain ? c : '_';
  }
  while (name.starts_with('_') || name.starts_with('.')) name.erase(0, 1);
  if (name.empty()) name = "port";
  return name + ".log";
}

std::vector<std::string> PortFileTags(const std::vector<std::string>& ports) {
  const auto lower = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  std::vector<std::string> tags;
  std::set<std::string> taken;  // in lower case: the log folder may ignore case
  for (const std::string& port : ports) {
    std::string base = LogFileName(port);
    base.resize(base.size() - std::string_view(".log").size());
    std::string tag = base;
    for (int n = 2; taken.contains(lower(tag)); ++n) tag = base + "-" + std::to_string(n);
    taken.insert(lower(tag));
    tags.push_back(std::move(tag));
  }
  return tags;
}

std::vector<std::string> StepsForPort(const std::vector<std::string>& steps,
                                      const std::string& tag) {
  std::vector<std::string> own = steps;
  // The files the plan's steps write; a word of another step that happens to read "dump" is no
  // file.
  for (const std::size_t word : PlanSteps(steps).writtenFiles) {
    std::string& file = own[word];
    const std::size_t slash = file.find_last_of(ui::kPathSeparators);
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot <= name) dot = file.size();  // ".hex" has no extension
    file = file.substr(0, dot) + "." + tag + file.substr(dot);
  }
  return own;
}

// Only a regular file or a new one: a FIFO would hold the run until someone read it, a device
// would take the log.
link::UniqueFile CreateLogFile(const std::filesystem::path& path, std::string& problem) {
  static constexpr const char* kNotRegular = "it is not a regular file";
  if (app::KindOfTarget(path) == app::TargetKind::Other) {
    problem = kNotRegular;
    return nullptr;
  }
  // Opened without waiting, so that a FIFO put there since the look cannot hold the run either.
  fs::FileStatus status = fs::FileStatus::Ok;
  int error = 0;
  link::UniqueFile file = fs::CreateRegularFile(link::Utf8Of(path), status, error);
  if (!file) problem = status == fs::FileStatus::NotRegular ? kNotRegular : std::strerror(error);
#if !defined(_WIN32)
  // A line's logs are its own: they name its stations, ports and phones, for its owner alone.
  if (file) (void)::fchmod(::fileno(file.get()), 0600);
#endif
  return file;
}

}  // namespace veska::station
